// The PNG chunk frame as the host sees it: _readChunk and _makeChunk.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

// Reads the next chunk: (type, data) as bytes, both empty at the end of the stream.
std::optional<std::pair<Ref, Ref>> read_chunk(PyObject* stream);

extern const FunctionSpec kReadChunkSpec;
extern const FunctionSpec kMakeChunkSpec;

}  // namespace vextaro
