// Writing PNG files: _writePng, _split_idat_payload, _writePngWithChunks.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kWritePngSpec;
extern const FunctionSpec kSplitIdatPayloadSpec;
extern const FunctionSpec kWritePngWithChunksSpec;

// Reads, once at import, which zlib library the host's zlib module runs on.
// False with an exception set when reading fails for another reason than absence.
bool learn_host_zlib(PyObject* zlib);

}  // namespace vextaro
