#include "core/hdf5.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace zor::hdf5 {

namespace py = zor::py;

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

// The errno that HDF5's file drivers quote in their messages ("errno = 13"),
// or 0.
int quoted_errno(const std::vector<Frame> &frames) {
    for (const Frame &frame : frames) {
        std::size_t at = frame.description.find("errno = ");
        if (at != std::string::npos)
            return std::atoi(frame.description.c_str() + at + 8);
    }
    return 0;
}

// Which Python exception an HDF5 failure raises. The library failing to do
// its work on a file is an OSError (with the errno when the OS reported
// one); running out of memory is a MemoryError.
PyObject *exception_kind(const std::vector<Frame> &frames) {
    for (const Frame &frame : frames)
        if (frame.minor == H5E_CANTALLOC || frame.minor == H5E_NOSPACE)
            return PyExc_MemoryError;
    return PyExc_OSError;
}

std::string stack_text(const std::vector<Frame> &frames) {
    std::string text = "HDF5 error stack:";
    for (const Frame &frame : frames)
        text += py::join({"\n  ", frame.function, "(): ", frame.description});
    return text;
}

}  // namespace

void silence_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

void fail(const std::string &what, const std::string &filename) {
    std::vector<Frame> frames;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, collect_frame, &frames);
    H5Eclear2(H5E_DEFAULT);

    // The innermost frame says what actually went wrong.
    std::string message = what;
    if (!frames.empty() && !frames.back().description.empty())
        message += " (" + frames.back().description + ")";

    PyObject *kind = exception_kind(frames);
    nb::object error;
    int code = quoted_errno(frames);
    if (kind == PyExc_OSError && code != 0) {
        // OSError(errno, text, filename) picks the subclass (PermissionError...).
        std::string reason = what + " (" + std::strerror(code) + ")";
        nb::object name = filename.empty() ? nb::none() : py::steal(PyUnicode_DecodeFSDefault(filename.c_str()));
        error = py::steal(PyObject_CallFunction(kind, "isO", code, reason.c_str(), name.ptr()));
    } else {
        error = py::steal(PyObject_CallFunction(kind, "s", message.c_str()));
    }
    nb::object cause = py::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", stack_text(frames).c_str()));
    PyException_SetCause(error.ptr(), cause.release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

}  // namespace zor::hdf5
