// Every way a BMP can be refused, with the message the module raises for it
// (as ValueError). Plain C++: the decoder reports these, the binding words them.
#pragma once

#include <cstdint>

namespace vextaro::bmp {

enum class Error : uint8_t {
    FileHeader,
    DibHeader,
    HeaderKind,
    PixelFormat,
    Width,
    Incomplete,
};

constexpr const char* message(Error e) {
    switch (e) {
        case Error::FileHeader: return "Unsupported BMP header";
        case Error::DibHeader: return "Corrupted BMP DIB header";
        case Error::HeaderKind: return "Only BITMAPINFOHEADER BMP files are supported";
        case Error::PixelFormat: return "Only uncompressed 24-bit BMP files are supported";
        case Error::Width: return "Invalid BMP width";
        case Error::Incomplete: return "Incomplete BMP pixel data";
    }
    return "";
}

}  // namespace vextaro::bmp
