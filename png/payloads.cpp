#include "png/payloads.hpp"

#include <cstring>

#include "png/huge_pages.hpp"

namespace vextaro::png {

uint64_t total_size(const Payloads& payloads) {
    uint64_t total = 0;
    for (const auto& p : payloads) total += p.size();
    return total;
}

std::optional<std::span<const uint8_t>> join(const Payloads& payloads, ByteBlock& storage, std::span<uint8_t> scratch) {
    if (payloads.size() == 1) return payloads[0];
    const size_t total = static_cast<size_t>(total_size(payloads));
    uint8_t* target = scratch.data();
    if (total > scratch.size()) {
        storage = allocate_bytes(total);
        if (!storage) return std::nullopt;
        target = storage.get();
        prefer_huge_pages({target, total});
    }
    size_t at = 0;
    for (const auto& p : payloads) {
        if (!p.empty()) std::memcpy(target + at, p.data(), p.size());  // target is null when all are empty
        at += p.size();
    }
    return std::span<const uint8_t>(target, total);
}

}  // namespace vextaro::png
