#include "core/format/elements.hpp"
#include "core/nodes/numpy.hpp"

namespace zor::format {

namespace {

constexpr bool kNativeBigEndian = NPY_BYTE_ORDER == NPY_BIG_ENDIAN;

// np.dtype(description).
nb::object converted_dtype(PyObject *description) {
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(description, &descr))
        py::throw_error();
    return py::steal(reinterpret_cast<PyObject *>(descr));
}

}  // namespace

// ---------------------------------------------------------------- elements

std::optional<Element> element_of(PyObject *descr_object) {
    auto *descr = reinterpret_cast<PyArray_Descr *>(descr_object);
    const auto size = static_cast<std::uint32_t>(PyDataType_ELSIZE(descr));
    const bool big_endian = descr->byteorder == '>' || (descr->byteorder == '=' && kNativeBigEndian);
    switch (descr->kind) {
        case 'b': return Element{Element::Bool, 1};
        case 'i':
        case 'u':
            if (size == 1 || size == 2 || size == 4 || size == 8)
                return Element{descr->kind == 'i' ? Element::Int : Element::Uint, size, big_endian};
            break;
        case 'f':
            if (size == 2 || size == 4 || size == 8)
                return Element{Element::Float, size, big_endian};
            break;
        case 'c':
            if (size == 8 || size == 16)
                return Element{Element::Complex, size, big_endian};
            break;
        case 'S':
            if (size > 0)
                return Element{Element::Bytes, size, false, false};
            break;
        case 'O': return Element{Element::Text};
    }
    return std::nullopt;
}

namespace {

int integer_type(bool is_signed, std::uint32_t size) {
    switch (size) {
        case 1: return is_signed ? NPY_INT8 : NPY_UINT8;
        case 2: return is_signed ? NPY_INT16 : NPY_UINT16;
        case 4: return is_signed ? NPY_INT32 : NPY_UINT32;
        default: return is_signed ? NPY_INT64 : NPY_UINT64;
    }
}

// A new flexible dtype (S<n>, V<n>) of `size` bytes.
nb::object sized_dtype(int type, std::uint32_t size) {
    PyArray_Descr *descr = PyArray_DescrNewFromType(type);
    if (!descr)
        py::throw_error();
    PyDataType_SET_ELSIZE(descr, size);
    return py::steal(reinterpret_cast<PyObject *>(descr));
}

}  // namespace

nb::object dtype_of(const Element &element) {
    int type = NPY_OBJECT;
    switch (element.kind) {
        case Element::Bool: type = NPY_BOOL; break;
        case Element::Int:
        case Element::Uint: type = integer_type(element.kind == Element::Int, element.size); break;
        case Element::Enum: type = integer_type(element.is_signed, element.size); break;
        case Element::Bitfield: type = integer_type(false, element.size); break;
        case Element::Float: type = element.size == 2 ? NPY_HALF : element.size == 4 ? NPY_FLOAT : NPY_DOUBLE; break;
        case Element::Complex: type = element.size == 8 ? NPY_CFLOAT : NPY_CDOUBLE; break;
        case Element::Bytes: return sized_dtype(NPY_STRING, element.size);
        case Element::Opaque: return sized_dtype(NPY_VOID, element.size);
        case Element::Text:
        case Element::Sequence: break;
        case Element::Compound:
        case Element::Array: py::raise(PyExc_SystemError, "dtype_of: the datatype gives this dtype");
    }
    nb::object descr = py::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(type)));
    if (type != NPY_OBJECT && element.kind != Element::Bool && element.size > 1 &&
        element.big_endian != kNativeBigEndian)
        descr = py::steal(reinterpret_cast<PyObject *>(
            PyArray_DescrNewByteorder(reinterpret_cast<PyArray_Descr *>(descr.ptr()), NPY_SWAP)));
    return descr;
}

nb::object subarray_dtype(const nb::object &base, const std::vector<hsize_t> &dims) {
    nb::object shape = py::steal(PyTuple_New(Py_ssize_t(dims.size())));
    for (std::size_t i = 0; i < dims.size(); ++i)
        PyTuple_SET_ITEM(shape.ptr(), Py_ssize_t(i), py::steal(PyLong_FromUnsignedLongLong(dims[i])).release().ptr());
    return converted_dtype(py::steal(PyTuple_Pack(2, base.ptr(), shape.ptr())).ptr());
}

nb::object structured_dtype(const std::vector<std::string> &names, const std::vector<nb::object> &formats,
                            const std::vector<std::size_t> &offsets, std::size_t itemsize) {
    const auto count = Py_ssize_t(names.size());
    nb::object name_list = py::steal(PyList_New(count)), format_list = py::steal(PyList_New(count)),
               offset_list = py::steal(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::string &name = names[std::size_t(i)];
        PyList_SET_ITEM(name_list.ptr(), i,
                        py::steal(PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), nullptr)).release().ptr());
        PyList_SET_ITEM(format_list.ptr(), i, Py_NewRef(formats[std::size_t(i)].ptr()));
        PyList_SET_ITEM(offset_list.ptr(), i, py::steal(PyLong_FromSize_t(offsets[std::size_t(i)])).release().ptr());
    }
    nb::object size = py::steal(PyLong_FromSize_t(itemsize)), fields = py::steal(PyDict_New());
    const std::pair<const char *, PyObject *> items[] = {{"names", name_list.ptr()},
                                                         {"formats", format_list.ptr()},
                                                         {"offsets", offset_list.ptr()},
                                                         {"itemsize", size.ptr()}};
    for (const auto &[key, value] : items)
        if (PyDict_SetItemString(fields.ptr(), key, value) != 0)
            py::throw_error();
    return converted_dtype(fields.ptr());
}

bool is_utf8(const std::string &text) {
    PyObject *decoded = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
    if (!decoded) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(decoded);
    return true;
}

}  // namespace zor::format
