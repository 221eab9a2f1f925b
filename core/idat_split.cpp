#include "core/idat_split.hpp"

#include "binding/args.hpp"
#include "png/encode.hpp"

namespace vextaro {

namespace {

enum class SplitArg { data, lengths, count };

// len() of the arguments, which the type test let through as bytes, list or None.
Py_ssize_t length_of(PyObject* o) {
    if (o == Py_None) {
        // Worded here because the hosts word it differently.
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1;
    }
    return PyObject_Length(o);
}

// Python's arithmetic on the sizes, as a caller's objects see it.
struct PythonSizes {
    using Number = Ref;
    PyObject *data, *lengths, *parts;
    Py_ssize_t total_size;

    Ref number(int v) const { return Ref::steal(PyLong_FromLong(v)); }
    Ref total() const { return Ref::steal(PyLong_FromSsize_t(total_size)); }
    Ref size(size_t i) const { return Ref::steal(PySequence_GetItem(lengths, static_cast<Py_ssize_t>(i))); }
    bool ok(const Ref& n) const { return bool(n); }
    int compare(const Ref& a, const Ref& b, png::Order o) const {
        return PyObject_RichCompareBool(a.get(), b.get(),
                                        o == png::Order::Less        ? Py_LT
                                        : o == png::Order::LessEqual ? Py_LE
                                                                     : Py_GE);
    }
    Ref minus(const Ref& a, const Ref& b) const { return Ref::steal(PyNumber_Subtract(a.get(), b.get())); }
    Ref plus(const Ref& a, const Ref& b) const { return Ref::steal(PyNumber_Add(a.get(), b.get())); }
    bool part(const Ref& at, const Ref* end) const {
        Ref range = Ref::steal(PySlice_New(at.get(), end ? end->get() : nullptr, nullptr));
        Ref part = range ? Ref::steal(PyObject_GetItem(data, range.get())) : Ref();
        return part && PyList_Append(parts, part.get()) == 0;
    }
};

// Slices of `data` along the source's IDAT sizes (png::split_along).
PyObject* split_idat_payload(const BoundArgs& a) {
    PyObject *data = a[SplitArg::data], *lengths = a[SplitArg::lengths];
    const Py_ssize_t total = length_of(data);
    const Py_ssize_t count = total < 0 ? -1 : length_of(lengths);
    Ref parts = count < 0 ? Ref() : Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    PythonSizes sizes{data, lengths, parts.get(), total};
    return png::split_along(sizes, static_cast<size_t>(count)) ? parts.release() : nullptr;
}

constexpr Param kSplitParams[] = {
    {"data", Check::ExactOrNone, &PyBytes_Type},
    {"lengths", Check::ExactOrNone, &PyList_Type},
};
static_assert(named_as<SplitArg>(kSplitParams));

}  // namespace

const FunctionSpec kSplitIdatPayloadSpec = {
    .name = "_split_idat_payload",
    .qualname = "_split_idat_payload",
    .kind = Kind::Function,
    .params = kSplitParams,
    .defaults = 0,
    .returns = nullptr,
    .body = split_idat_payload,
};
}  // namespace vextaro
