#include "core/guard/file_map.hpp"
#include "core/guard/driver.hpp"
#include "core/format/hdf5.hpp"
#include "core/nodes/numpy.hpp"

#include <cerrno>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>

namespace zor::hdf5 {

namespace {

constexpr const char *kOwnerName = "zor.ir.serialization.file_map";

struct Mapping {
    void *address;
    std::size_t length;
};

void unmap(PyObject *owner) {
    auto *mapping = static_cast<Mapping *>(PyCapsule_GetPointer(owner, kOwnerName));
    ::munmap(mapping->address, mapping->length);
    delete mapping;
}

[[noreturn]] void fail_with_errno() {
    PyErr_SetFromErrno(PyExc_OSError);
    py::throw_error();
}

}  // namespace

FileMap::FileMap(hid_t file) {
    const DriverFile &driver = driver_file(file);
    descriptor_ = posix::Descriptor(::fcntl(driver.fd, F_DUPFD_CLOEXEC, 0));
    if (!descriptor_)
        fail_with_errno();
    size_ = driver.size;
}

nb::object FileMap::view(std::uint64_t offset, nb::object dtype, const std::vector<hsize_t> &dims) {
    if (!owner_) {
        void *address = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, descriptor_.get(), 0);
        if (address == MAP_FAILED)
            fail_with_errno();
        auto *mapping = new (std::nothrow) Mapping{address, std::size_t(size_)};
        PyObject *owner = mapping ? PyCapsule_New(mapping, kOwnerName, unmap) : nullptr;
        if (!owner) {
            ::munmap(address, size_);
            delete mapping;
            if (!PyErr_Occurred())
                PyErr_NoMemory();
            py::throw_error();
        }
        owner_ = nb::steal(owner);
        data_ = static_cast<const char *>(address);
    }
    std::vector<npy_intp> shape(dims.begin(), dims.end());
    // No NPY_ARRAY_WRITEABLE: the view is read-only, as the mapping is.
    nb::object array = py::steal(PyArray_NewFromDescr(
        &PyArray_Type, reinterpret_cast<PyArray_Descr *>(dtype.release().ptr()), int(shape.size()), shape.data(),
        nullptr, const_cast<char *>(data_ + offset), 0, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array.ptr()), owner_.inc_ref().ptr()) != 0)
        py::throw_error();
    return array;
}

}  // namespace zor::hdf5
