// What the writers share: the pixel buffer as they read it, and the output file.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "binding/buffer.hpp"
#include "binding/output_file.hpp"
#include "binding/pyref.hpp"
#include "binding/stream.hpp"
#include "core/hooks.hpp"

namespace vextaro {

// The bytes of `pixels` (a bytearray read in place, anything else copied into
// one), exported so that no code that runs later can resize them, after len()
// was checked against `expected`; ValueError about the pixel data otherwise.
std::optional<ByteBuffer> pinned_pixels(PyObject* pixels, std::optional<int64_t> expected);

// Whether both dimensions are >= 0, as packing them into a header requires;
// raises otherwise. A rebound struct may have packed negative ones: the host's
// own struct then raises what it would have raised, or OverflowError.
bool check_dimensions_unsigned(int32_t width, int32_t height);

// writer(*args[, compress_level=level]), the module's own writer called without
// a call through Python; nothing when an argument could not be made.
PyObject* call_writer(const Bound& writer, const FunctionSpec& own, std::optional<int32_t> level,
                      std::span<const Ref> args);

// The same with the writer looked up first and `read_args()` after it: the
// lookup may run code (a key's __eq__ in the module's dict) that reassigns an
// image's fields, which are read only then, with nothing run between that and
// the call.
template <typename ReadArgs>
PyObject* call_writer(Hook hook, const FunctionSpec& own, std::optional<int32_t> level, ReadArgs&& read_args) {
    const auto writer = look_up(hook);
    return writer ? call_writer(*writer, own, level, read_args()) : nullptr;
}

// Lets `write(stream)` fill the file at `path` (see OutputFile: the file it
// replaces stays as it was unless every byte was written), and closes it on
// every path. An error of the file's names `path`.
template <typename Write>
bool write_file(PyObject* path, Write&& write) {
    OutputFile out;
    if (out.open(path) && write(out.stream()) && out.finish()) return true;
    name_path_in_error(out.path() ? out.path() : path);
    return false;
}

}  // namespace vextaro
