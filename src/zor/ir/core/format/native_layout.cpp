// read(path, layout=True): a file's groups and its datasets' shapes, types
// and sizes, without their data.
#include "core/format/native_walk.hpp"
#include "core/nodes/numpy.hpp"

namespace zor::hdf5 {

namespace {

nb::object shape_tuple(const format::Shape &shape) {
    nb::object tuple = py::steal(PyTuple_New(Py_ssize_t(shape.dims.size())));
    for (std::size_t i = 0; i < shape.dims.size(); ++i)
        PyTuple_SET_ITEM(tuple.ptr(), Py_ssize_t(i), py::steal(PyLong_FromUnsignedLongLong(shape.dims[i])).release().ptr());
    return tuple;
}

// Elements times their size, in Python integers: a hostile extent cannot overflow.
nb::object byte_count(PyObject *shape, std::size_t element_size) {
    nb::object bytes = py::steal(PyLong_FromSize_t(element_size));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape); ++i)
        bytes = py::steal(PyNumber_Multiply(bytes.ptr(), PyTuple_GET_ITEM(shape, i)));
    return bytes;
}

}  // namespace

nb::object read_layout(Reader &reader, Object root, const std::string &root_path, const std::string &file,
                       PyObject *record) {
    return format::walk_tree(reader, std::move(root), root_path, file, false,
                             [&](const Object &dataset, const std::string &path) {
                                 auto [element, shape] = format::inspect_dataset(reader, dataset, path, file, false);
                                 nb::object tuple = shape_tuple(shape);
                                 // The dtype read() gives: object for variable-length data.
                                 nb::object dtype = element.kind == format::Element::Compound
                                                        ? format::read_dtype(reader.type_of(dataset), element)
                                                        : format::dtype_of(element);
                                 const auto element_size = std::size_t(
                                     PyDataType_ELSIZE(reinterpret_cast<PyArray_Descr *>(dtype.ptr())));
                                 nb::object nbytes = byte_count(tuple.ptr(), element_size);
                                 nb::object stored = py::steal(
                                     PyLong_FromUnsignedLongLong(H5Dget_storage_size(dataset.get())));
                                 return py::steal(PyObject_CallFunctionObjArgs(record, tuple.ptr(), dtype.ptr(),
                                                                               nbytes.ptr(), stored.ptr(), nullptr));
                             });
}

}  // namespace zor::hdf5
