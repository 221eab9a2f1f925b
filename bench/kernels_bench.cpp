// Throughput of the codec kernels on rows of 4096 pixels, in bytes of pixel data per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "bmp/rows.hpp"
#include "png/filter.hpp"
#include "png/planes.hpp"
#include "png/unfilter.hpp"

namespace {

using namespace vextaro;

constexpr size_t kWidth = 4096;
const char* const kFilterNames[] = {"None", "Sub", "Up", "Average", "Paeth"};

// Noise, so that no branch in a kernel settles into one direction.
std::vector<uint8_t> noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

void BM_unfilter_row(benchmark::State& state) {
    const auto filter = static_cast<uint8_t>(state.range(0));
    const int bpp = static_cast<int>(state.range(1));
    const size_t n = kWidth * bpp;
    auto row = noise(n, 1);
    const auto previous = noise(n, 2);
    for (auto _ : state) {
        // In place, as the decoder does; the values drift but the work per byte does not.
        png::unfilter_row(filter, row, previous, bpp);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    state.SetLabel(kFilterNames[filter]);
}

void BM_filter_row(benchmark::State& state) {
    const auto filter = static_cast<uint8_t>(state.range(0));
    const int bpp = static_cast<int>(state.range(1));
    const size_t n = kWidth * bpp;
    const auto raw = noise(n, 1);
    const auto previous = noise(n, 2);
    std::vector<uint8_t> out(n);
    for (auto _ : state) {
        png::filter_row(filter, raw, previous, out.data(), bpp);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
    state.SetLabel(kFilterNames[filter]);
}

// A whole image of one filter type, as the decoder reconstructs it: rows in
// order, Paeth rows two at a time, RGB packed and alpha split out behind them.
void BM_reconstruct_image(benchmark::State& state) {
    const auto filter = static_cast<uint8_t>(state.range(0));
    const int bpp = static_cast<int>(state.range(1));
    constexpr size_t kHeight = 64;
    const size_t line = 1 + kWidth * bpp;
    auto scanlines = noise(line * kHeight, 7);
    for (size_t y = 0; y < kHeight; ++y) scanlines[y * line] = filter;
    const auto filtered = scanlines;
    std::vector<uint8_t> filters(kHeight), alpha(kWidth * kHeight);
    for (auto _ : state) {
        // Reconstruction works in place: each round starts again from the filtered bytes.
        state.PauseTiming();
        scanlines = filtered;
        state.ResumeTiming();
        png::reconstruct_image(scanlines, kWidth, kHeight, bpp, filters.data(), bpp == 4 ? alpha.data() : nullptr);
        benchmark::DoNotOptimize(scanlines.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWidth * bpp * kHeight));
    state.SetLabel(kFilterNames[filter]);
}

// A 1920-pixel-wide image of a filter mix real files have, as the benchmark's
// inputs (bench/inputs.py): Paeth alone; about a quarter Average, a tenth Sub,
// the rest Paeth, row by row at random; mostly Up and None; Sub alone.
const char* const kMixNames[] = {"Paeth", "adaptive", "Up/None", "Sub"};

uint8_t mix_filter(int mix, std::mt19937& rng) {
    const int p = static_cast<int>(rng() % 100);
    switch (mix) {
        case 1: return p < 25 ? 3 : p < 35 ? 1 : 4;
        case 2: return p < 70 ? 2 : p < 95 ? 0 : 1;
        case 3: return 1;
        default: return 4;
    }
}

void BM_reconstruct_mix(benchmark::State& state) {
    const int mix = static_cast<int>(state.range(0));
    const int bpp = static_cast<int>(state.range(1));
    constexpr size_t kMixWidth = 1920, kHeight = 128;
    const size_t line = 1 + kMixWidth * bpp;
    auto scanlines = noise(line * kHeight, 8);
    std::mt19937 rng(9);
    for (size_t y = 0; y < kHeight; ++y) scanlines[y * line] = mix_filter(mix, rng);
    const auto filtered = scanlines;
    std::vector<uint8_t> filters(kHeight), alpha(kMixWidth * kHeight);
    for (auto _ : state) {
        state.PauseTiming();
        scanlines = filtered;
        state.ResumeTiming();
        png::reconstruct_image(scanlines, kMixWidth, kHeight, bpp, filters.data(), bpp == 4 ? alpha.data() : nullptr);
        benchmark::DoNotOptimize(scanlines.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kMixWidth * bpp * kHeight));
    state.SetLabel(kMixNames[mix]);
}

void BM_split_pixels(benchmark::State& state) {
    const auto row = noise(kWidth * 4, 3);
    std::vector<uint8_t> rgb(kWidth * 3), alpha(kWidth);
    for (auto _ : state) {
        png::split_pixels(row.data(), kWidth, 4, rgb.data(), alpha.data());
        benchmark::DoNotOptimize(rgb.data());
        benchmark::DoNotOptimize(alpha.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWidth * 4));
}

void BM_join_pixels(benchmark::State& state) {
    const auto rgb = noise(kWidth * 3, 4);
    const auto alpha = noise(kWidth, 5);
    std::vector<uint8_t> row(kWidth * 4);
    for (auto _ : state) {
        png::join_pixels(rgb.data(), alpha.data(), kWidth, 4, row.data());
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWidth * 4));
}

void BM_bgr_to_rgb(benchmark::State& state) {
    const auto bgr = noise(kWidth * 3, 6);
    std::vector<uint8_t> rgb(kWidth * 3);
    for (auto _ : state) {
        bmp::bgr_to_rgb(bgr.data(), kWidth, rgb.data());
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWidth * 3));
}

void filter_and_bpp(benchmark::internal::Benchmark* b) {
    b->ArgNames({"filter", "bpp"});
    for (int bpp : {3, 4})
        for (int filter = 1; filter <= 4; ++filter) b->Args({filter, bpp});
}

BENCHMARK(BM_unfilter_row)->Apply(filter_and_bpp);
BENCHMARK(BM_filter_row)->Apply(filter_and_bpp);
BENCHMARK(BM_reconstruct_image)->Apply(filter_and_bpp);
BENCHMARK(BM_reconstruct_mix)->ArgNames({"mix", "bpp"})->ArgsProduct({{0, 1, 2, 3}, {3, 4}});
BENCHMARK(BM_split_pixels);
BENCHMARK(BM_join_pixels);
BENCHMARK(BM_bgr_to_rgb);

}  // namespace

BENCHMARK_MAIN();
