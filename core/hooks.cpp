#include "core/hooks.hpp"

#include "binding/compat.hpp"
#include "binding/namespace.hpp"
#include "binding/process.hpp"
#include "png/deflate.hpp"

#include <cstring>
#include <string_view>
#include <utility>

namespace vextaro {

namespace {

constexpr const char* kNames[] = {
    "PNG_SIGNATURE", "struct",
    "zlib",          "BytesIO",
    "Path",          "_readChunk",
    "_makeChunk",    "_split_idat_payload",
    "_writePng",     "_writePngWithChunks",
    "_writeBmp",
};

// Whether each name is its enumerator's, in the enumeration's order; `struct`,
// a C++ keyword, is spelt struct_ there.
consteval bool names_match_hooks() {
    if (std::size(kNames) != static_cast<size_t>(Hook::count) || std::size(kNames) != kHookCount) return false;
    return []<size_t... I>(std::index_sequence<I...>) {
        auto spelt = [](std::string_view name) { return name.ends_with('_') ? name.substr(0, name.size() - 1) : name; };
        return ((spelt(enumerator_name<static_cast<Hook>(I)>()) == std::string_view(kNames[I])) && ...);
    }
    (std::make_index_sequence<std::size(kNames)>());
}
static_assert(names_match_hooks());

size_t index(Hook hook) { return static_cast<size_t>(hook); }

}  // namespace

bool init_hooks() {
    for (size_t i = 0; i < std::size(kNames); ++i) {
        PyObject*& name = process_state.hook_names[i];
        if (name == nullptr && (name = PyUnicode_InternFromString(kNames[i])) == nullptr) return false;
    }
    return process_state.stream_to_image_name != nullptr ||
           (process_state.stream_to_image_name = PyUnicode_InternFromString("_streamToImage")) != nullptr;
}

bool capture_hooks(PyObject* module, PyObject* stream_to_image) {
    for (size_t i = 0; i < std::size(kNames); ++i) {
        PyObject* value = PyObject_GetAttr(module, process_state.hook_names[i]);
        if (value == nullptr) return false;
        Py_XSETREF(process_state.hook_originals[i], value);
    }
    Py_XSETREF(process_state.stream_to_image, compat::new_ref(stream_to_image));
    return true;
}

std::optional<Bound> look_up(Hook hook) {
    Ref value = module_global(process_state.hook_names[index(hook)]);
    if (!value) return std::nullopt;
    const bool own = value.get() == process_state.hook_originals[index(hook)];
    return Bound{std::move(value), own};
}

Ref call_bound(const Bound& bound, const FunctionSpec& own, std::span<PyObject* const> args, PyObject* kwnames) {
    if (bound.own) return Ref::steal(call_directly(own, args, kwnames));
    const size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0,
                 nargs = args.size() - keywords;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
    Ref kwargs = keywords ? Ref::steal(PyDict_New()) : Ref::borrow(Py_None);
    if (!tuple || !kwargs) return {};
    for (size_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, compat::new_ref(args[i]));
    for (size_t k = 0; k < keywords; ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return {};
    }
    return Ref::steal(PyObject_Call(bound.value.get(), tuple.get(), keywords ? kwargs.get() : nullptr));
}

Ref call_hook(Hook hook, const FunctionSpec& own, std::span<PyObject* const> args) {
    const auto bound = look_up(hook);
    return bound ? call_bound(*bound, own, args) : Ref();
}

std::optional<ZlibFunction> zlib_function(PyObject* name, const char* text) {
    const auto zlib = look_up(Hook::zlib);
    Ref f = zlib ? Ref::steal(PyObject_GetAttr(zlib->value.get(), name)) : Ref();
    if (!f) return std::nullopt;
    const bool host = is_host_zlib_function(f.get(), text);
    return ZlibFunction{std::move(f), host};
}

PyObject* original(Hook hook) { return process_state.hook_originals[index(hook)]; }

int is_own(Hook hook) {
    auto bound = look_up(hook);
    if (bound) return bound->own;
    if (!PyErr_ExceptionMatches(PyExc_NameError)) return -1;
    PyErr_Clear();
    return 0;
}

Ref class_decoder(PyObject* cls) { return Ref::steal(PyObject_GetAttr(cls, process_state.stream_to_image_name)); }

bool is_own_decoder(PyObject* decoder) { return decoder == process_state.stream_to_image; }

bool learn_host_zlib(PyObject* zlib) {
    Ref version = Ref::steal(PyObject_GetAttrString(zlib, "ZLIB_RUNTIME_VERSION"));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr) PyErr_Clear();
    process_state.host_zlib_is_ours = text != nullptr && std::strcmp(text, png::zlib_runtime_version()) == 0;
    return true;
}

}  // namespace vextaro
