// Every way a PNG can be refused, with the message the module raises for it
// (as ValueError). Plain C++: the decoder reports these, the binding words them.
#pragma once

#include <cstdint>

namespace vextaro::png {

enum class Error : uint8_t {
    EofLength,
    EofType,
    EofData,
    EofCrc,
    CorruptChunk,
    BadSignature,
    IncompleteHeader,
    BitDepth,
    ColourType,
    Configuration,
    Malformed,
};

constexpr const char* message(Error e) {
    switch (e) {
        case Error::EofLength: return "Unexpected EOF while reading chunk length";
        case Error::EofType: return "Unexpected EOF while reading chunk type";
        case Error::EofData: return "Unexpected EOF while reading chunk data";
        case Error::EofCrc: return "Unexpected EOF while reading chunk CRC";
        case Error::CorruptChunk: return "Corrupted PNG chunk detected";
        case Error::BadSignature: return "Unsupported PNG signature";
        case Error::IncompleteHeader: return "Incomplete PNG header information";
        case Error::BitDepth: return "Only 8-bit PNG images are supported";
        case Error::ColourType: return "Only RGB/RGBA PNG images are supported";
        case Error::Configuration: return "Unsupported PNG configuration (compression/filter/interlace)";
        case Error::Malformed: return "Malformed PNG image data";
    }
    return "";
}

}  // namespace vextaro::png
