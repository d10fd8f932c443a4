// The HDF5 C library: move-only RAII handles and error translation.
//
// Every identifier the serialization module opens lives in a Handle, so that
// each one is closed on every path, success or error. HDF5 failures become
// Python exceptions: the kind comes from one table of HDF5's error numbers,
// the message says what failed, and the cause carries the library's own
// error stack.
#pragma once

#include "core/nodes/python.hpp"

#include <hdf5.h>

#include <string>
#include <utility>

namespace zor::hdf5 {

namespace nb = nanobind;

// Raises the Python exception for the HDF5 call that just failed. `what`
// names the operation ("Unable to create file"); `kind`, when given, is the
// exception's type, otherwise the table's. HDF5's error stack is cleared.
[[noreturn]] void fail(const std::string &what, PyObject *kind = nullptr);

// Whether `error` was raised by fail(): it carries HDF5's error stack.
bool raised_by_library(const nb::python_error &error);

// Returns `result` unless it reports an HDF5 failure (a negative value).
template <typename Result>
Result check(Result result, const char *what) {
    if (result < 0)
        fail(what);
    return result;
}

// Silences HDF5's printing of error stacks (per thread in thread-safe builds).
void silence_errors();

// Stops HDF5 from loading filter plugins (from HDF5_PLUGIN_PATH or its
// default folder) when it meets a filter it does not have: no code from
// outside the module runs on a file's behalf.
void disable_plugins();

// The version of the HDF5 library linked, e.g. "1.14.5".
std::string library_version();

template <herr_t (*Close)(hid_t)>
class Handle {
public:
    Handle() = default;
    // Takes ownership of `id`, failing with `what` when it is invalid.
    Handle(hid_t id, const char *what) : id_(id) {
        if (id < 0)
            fail(what);
    }
    Handle(Handle &&other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
    Handle &operator=(Handle &&other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
        }
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(); }

    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }

    // Closes now and reports a failure (a file's close flushes it).
    void close(const char *what) {
        hid_t id = std::exchange(id_, H5I_INVALID_HID);
        if (id >= 0 && Close(id) < 0)
            fail(what);
    }

private:
    // Destructors never throw: a failed close on an error path is dropped.
    void reset() noexcept {
        if (id_ >= 0)
            Close(std::exchange(id_, H5I_INVALID_HID));
    }

    hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<H5Fclose>;
using Object = Handle<H5Oclose>;  // a group, dataset or named datatype
using Type = Handle<H5Tclose>;
using Space = Handle<H5Sclose>;
using PropertyList = Handle<H5Pclose>;

}  // namespace zor::hdf5
