// The module-level names a caller may rebind, and the class's decoder: what
// the module does while each is still what import bound (its own), and when it
// was rebound. Every operation looks them up here, at call time.
//
// | name                  | its own                                  | rebound                               |
// |-----------------------|------------------------------------------|---------------------------------------|
// | PNG_SIGNATURE         | bytes: compared as bytes                 | compared and written as it is         |
// | struct                | its pack/unpack are called (observable)  | the same calls on the new object      |
// | zlib                  | CRCs, inflate and deflate run here       | its crc32/decompress/compress called  |
// |                       | (per function: see zlib_function)        | unless the host's own, as for its own |
// | BytesIO, Path         | open decodes bytes in place              | the stream / instance test goes to it |
// | _readChunk            | chunks are framed here                   | called once per chunk                 |
// | _makeChunk            | framed here, no call through Python      | called once per chunk written         |
// | _split_idat_payload   | split here, no call through Python       | called with (data, lengths)           |
// | _writePng             | encoded here, no call through Python     | called with the image's fields        |
// | _writePngWithChunks   | encoded here, no call through Python     | called with the image's fields        |
// | _writeBmp             | written here, no call through Python     | called with the image's fields        |
// | cls._streamToImage    | decoded here, the record never a tuple   | called; its record is taken apart     |
//
// Where a name is the module's own, skipping the call through Python changes
// nothing a caller can see: the module's functions convert and check their
// arguments the same way either way. `struct` is always called, since the
// host's own struct must be observable to patches of its functions.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "binding/function.hpp"
#include "binding/pyref.hpp"

namespace vextaro {

enum class Hook : uint8_t {
    PNG_SIGNATURE,
    struct_,
    zlib,
    BytesIO,
    Path,
    _readChunk,
    _makeChunk,
    _split_idat_payload,
    _writePng,
    _writePngWithChunks,
    _writeBmp,
    count
};

struct Bound {
    Ref value;
    bool own;  // still what import bound
};

// The name as bound now; a deleted name raises NameError, as Python code would.
std::optional<Bound> look_up(Hook hook);

// bound(*args): the module's own function called directly (`own` describes
// it), a rebound one through Python; call_hook looks the name up first.
// `kwnames`, if given, names the last of `args` as keywords.
Ref call_bound(const Bound& bound, const FunctionSpec& own, std::span<PyObject* const> args,
               PyObject* kwnames = nullptr);
Ref call_hook(Hook hook, const FunctionSpec& own, std::span<PyObject* const> args);

// zlib.<name> of the module's zlib as bound now, and whether it is the host's
// own function, judged by what it is (binding/namespace.hpp): then the module
// does its work itself, whatever object zlib is bound to. The one rule for
// compress, decompress and the CRC checks alike.
struct ZlibFunction {
    Ref value;
    bool host;
};
std::optional<ZlibFunction> zlib_function(PyObject* name, const char* text);

// Reads, once at import, which zlib library the host's zlib module runs on.
// False with an exception set when reading fails for another reason than absence.
bool learn_host_zlib(PyObject* zlib);

// What import bound to the name.
PyObject* original(Hook hook);

// 1 if the name is still its own, 0 if rebound or deleted (the general path then
// meets a deleted name where it is used), -1 with an exception set.
int is_own(Hook hook);

// cls._streamToImage, and whether `decoder`, found so, is the module's own.
Ref class_decoder(PyObject* cls);
bool is_own_decoder(PyObject* decoder);

// Interns the names, once per process: a later initialisation reuses them.
bool init_hooks();
// Records what import bound in `module`, the module being initialised, once its
// namespace and the class are complete; `stream_to_image` is the function inside
// the class's static method.
bool capture_hooks(PyObject* module, PyObject* stream_to_image);

}  // namespace vextaro
