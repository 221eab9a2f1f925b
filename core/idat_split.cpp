#include "core/idat_split.hpp"

#include "binding/args.hpp"

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

// Slices of `data` along the source's IDAT sizes, with the host's arithmetic
// on the sizes: each size is reproduced while the data lasts, the last one
// takes all that remains, and sizes of 0 or less make no part.
PyObject* split_idat_payload(const BoundArgs& a) {
    PyObject *data = a[SplitArg::data], *lengths = a[SplitArg::lengths];
    const Py_ssize_t total = length_of(data);
    if (total < 0) return nullptr;
    const Py_ssize_t count = length_of(lengths);
    if (count < 0) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    Ref offset = Ref::steal(PyLong_FromLong(0));
    Ref end = Ref::steal(PyLong_FromSsize_t(total));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!parts || !offset || !end || !zero) return nullptr;
    auto slice_from = [&](PyObject* start, PyObject* stop) {
        Ref range = Ref::steal(PySlice_New(start, stop, nullptr));
        Ref part = range ? Ref::steal(PyObject_GetItem(data, range.get())) : Ref();
        return part && PyList_Append(parts.get(), part.get()) == 0;
    };
    for (Py_ssize_t idx = 0; idx < count; ++idx) {
        Ref length = Ref::steal(PySequence_GetItem(lengths, idx));
        if (!length) return nullptr;
        int r = PyObject_RichCompareBool(offset.get(), end.get(), Py_GE);
        if (r != 0) {
            if (r < 0) return nullptr;
            break;
        }
        if ((r = PyObject_RichCompareBool(length.get(), zero.get(), Py_LE)) != 0) {
            if (r < 0) return nullptr;
            continue;
        }
        Ref remaining = Ref::steal(PyNumber_Subtract(end.get(), offset.get()));
        if (!remaining) return nullptr;
        Ref take;
        if (idx == count - 1) {
            take = std::move(remaining);
        } else {
            // min(length, remaining): the first of the two unless the second is smaller.
            if ((r = PyObject_RichCompareBool(remaining.get(), length.get(), Py_LT)) < 0) return nullptr;
            take = r ? std::move(remaining) : std::move(length);
        }
        if ((r = PyObject_RichCompareBool(take.get(), zero.get(), Py_LE)) != 0) {
            if (r < 0) return nullptr;
            continue;
        }
        Ref stop = Ref::steal(PyNumber_Add(offset.get(), take.get()));
        if (!stop || !slice_from(offset.get(), stop.get())) return nullptr;
        offset = std::move(stop);
    }
    const int rest = PyObject_RichCompareBool(offset.get(), end.get(), Py_LT);
    if (rest < 0 || (rest && !slice_from(offset.get(), nullptr))) return nullptr;
    return parts.release();
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
