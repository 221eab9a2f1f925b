// The PNG chunk frame as the host sees it: _readChunk and _makeChunk.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "binding/function.hpp"
#include "binding/pyref.hpp"
#include "binding/source.hpp"

namespace vextaro {

// A chunk as read: its type as bytes and its data, which a memory source gives
// as a view only (the bytes object is made when something needs one).
struct Chunk {
    Ref type;
    Ref data;
    std::span<const uint8_t> view;

    PyObject* data_object();
};

// Reads the next chunk; type and data are both empty at the end of the data.
std::optional<Chunk> read_chunk(Source& source);

// CRC-32 over the type, continued over the data; through the module's zlib
// when that name has been rebound.
std::optional<uint32_t> chunk_crc_of(PyObject* type, PyObject* data);

// type == b"<name>" under the host's comparison (-1 on error).
int chunk_type_is(PyObject* type, const char* name);

// Whether a chunk's 32-bit length field holds `n`. A length it cannot hold is
// refused by the module's struct, in the host's words.
bool length_fits(uint64_t n);

// An object's bytes as they are now; bytes themselves are kept, being immutable.
Ref bytes_snapshot(PyObject* o);

// A chunk's frame as three pieces, png/frame.hpp's head, the data and its tail,
// made before the file is opened so that a chunk that cannot be written fails
// while the file is still untouched. The data is written as it is, never copied
// into one object with the rest.
struct ChunkPieces {
    Ref head, data, tail;
};

// Frames what will be written: the bytes of `type` and `data` as they are now,
// the length field counting those bytes (len() of a buffer of wider items
// counts items) and the CRC over them.
std::optional<ChunkPieces> frame_chunk(PyObject* type, PyObject* data);

extern const FunctionSpec kReadChunkSpec;
extern const FunctionSpec kMakeChunkSpec;

}  // namespace vextaro
