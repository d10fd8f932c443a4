// write(progress=...) and read(progress=...): the caller's callable, called
// as progress(done, total) with counts of bytes, for a bar to draw: once at
// the start, whenever another 1/256 of the total is done, and once at the
// end with done equal to total. Without one nothing is counted. An error the
// callable raises ends the write or read as any error does.
#pragma once

#include "core/nodes/python.hpp"

#include <algorithm>
#include <cstdint>

namespace zor::format {

class Progress {
public:
    // `callback`: null (not given) or None for no reports; else a callable.
    Progress(PyObject *callback, std::uint64_t total)
        : callback_(callback == Py_None ? nullptr : callback), total_(total) {
        if (callback_ && !PyCallable_Check(callback_)) {
            PyErr_Format(PyExc_TypeError, "progress must be None or a callable, got %.200s",
                         Py_TYPE(callback_)->tp_name);
            py::throw_error();
        }
        report();
    }

    bool on() const { return callback_ != nullptr; }

    // `bytes` more are done.
    void add(std::uint64_t bytes) {
        done_ = std::min(total_, done_ + bytes);
        if (done_ >= next_)
            report();
    }

    void finish() {
        if (reported_ != total_) {
            done_ = total_;
            report();
        }
    }

private:
    static constexpr std::uint64_t kSteps = 256;

    void report() {
        if (!callback_)
            return;
        next_ = done_ + std::max<std::uint64_t>(1, total_ / kSteps);
        reported_ = done_;
        py::steal(PyObject_CallFunction(callback_, "KK", static_cast<unsigned long long>(done_),
                                        static_cast<unsigned long long>(total_)));
    }

    PyObject *callback_;
    std::uint64_t total_, done_ = 0, next_ = 0, reported_ = UINT64_MAX;
};

}  // namespace zor::format
