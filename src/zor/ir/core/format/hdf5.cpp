#include "core/format/hdf5.hpp"

#include <vector>

namespace zor::hdf5 {

namespace {

struct Frame {
    std::string function;
    std::string description;
    hid_t major;
    hid_t minor;
};

herr_t collect_frame(unsigned, const H5E_error2_t *error, void *data) {
    auto *frames = static_cast<std::vector<Frame> *>(data);
    frames->push_back({error->func_name ? error->func_name : "",
                       error->desc ? error->desc : "", error->maj_num, error->min_num});
    return 0;
}

// Which Python exception an HDF5 error raises, by its major and minor error
// numbers as h5py sorts them; the first row that matches any frame of the
// stack wins. A null major matches every major. The library failing to do
// its work on a file is an OSError, the default.
struct ErrorKind {
    const hid_t *major;
    const hid_t *minor;
    PyObject *const *type;
};

const ErrorKind kErrorKinds[] = {
    {nullptr, &H5E_CANTALLOC_g, &PyExc_MemoryError},
    {nullptr, &H5E_NOSPACE_g, &PyExc_MemoryError},
    {nullptr, &H5E_FILEEXISTS_g, &PyExc_FileExistsError},
};

PyObject *exception_kind(const std::vector<Frame> &frames) {
    for (const ErrorKind &kind : kErrorKinds)
        for (const Frame &frame : frames)
            if ((!kind.major || frame.major == *kind.major) && frame.minor == *kind.minor)
                return *kind.type;
    return PyExc_OSError;
}

constexpr const char *kStackHeading = "HDF5 error stack:";

std::string stack_text(const std::vector<Frame> &frames) {
    std::string text = kStackHeading;
    for (const Frame &frame : frames)
        text += py::join({"\n  ", frame.function, "(): ", frame.description});
    return text;
}

}  // namespace

bool raised_by_library(const nb::python_error &error) {
    nb::object cause = nb::steal(PyException_GetCause(error.value().ptr()));  // none: null, no error set
    if (!cause || !PyObject_TypeCheck(cause.ptr(), reinterpret_cast<PyTypeObject *>(PyExc_RuntimeError)))
        return false;
    return py::str(cause.ptr()).rfind(kStackHeading, 0) == 0;
}

void silence_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

void disable_plugins() { check(H5PLset_loading_state(0), "Unable to switch off HDF5 plugin loading"); }

std::string library_version() {
    unsigned major = 0, minor = 0, release = 0;
    check(H5get_libversion(&major, &minor, &release), "Unable to read the HDF5 version");
    return py::join({std::to_string(major), ".", std::to_string(minor), ".", std::to_string(release)});
}

void fail(const std::string &what, PyObject *kind) {
    std::vector<Frame> frames;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_frame, &frames);
    H5Eclear2(H5E_DEFAULT);

    // The innermost frame says what actually went wrong.
    std::string message = what;
    if (!frames.empty() && !frames.back().description.empty())
        message += " (" + frames.back().description + ")";

    if (!kind)
        kind = exception_kind(frames);
    nb::object error = py::steal(PyObject_CallFunction(kind, "s", message.c_str()));
    nb::object cause = py::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", stack_text(frames).c_str()));
    PyException_SetCause(error.ptr(), cause.release().ptr());
    PyErr_SetObject(kind, error.ptr());
    throw nb::python_error();
}

}  // namespace zor::hdf5
