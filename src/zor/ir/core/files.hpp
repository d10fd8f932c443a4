// The paths that write, read and read_version work on, and the atomic
// replacement of a file by a new one.
#pragma once

#include "core/posix.hpp"

#include <string>

namespace zor::files {

namespace nb = nanobind;

// A caller's path argument, made a pathlib.Path first.
struct Path {
    nb::object path;     // the pathlib.Path
    std::string label;   // its text, as messages print it
    std::string native;  // its bytes in the file system's encoding
};

// read and read_version: the path must name an existing regular file
// (FileNotFoundError "ZOR-IR file not found: <path>", else ValueError
// "Path is not a file: <path>").
Path existing_file(PyObject *argument);

// write: the path must not be a directory (ValueError "Path is a directory,
// not a file: <path>") and its parent must exist (ValueError "Parent
// directory does not exist: <parent>").
Path writable_path(PyObject *argument);

// A new file built beside its target and moved over it only once complete,
// so that a failed write leaves an existing file untouched. The new file
// gets the replaced file's permissions, and a symbolic link keeps pointing
// at the file it names.
class Replacement {
public:
    // Reserves the temporary file; refuses a target that the caller could
    // not open for writing (PermissionError, as that open would raise).
    explicit Replacement(const Path &target);
    // Removes the temporary file unless it was committed.
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Where the new file is to be written.
    const std::string &temporary() const { return temporary_; }

    // Flushes the new file to disk and moves it over the target.
    void commit();

private:
    std::string target_;     // the target, its symbolic links followed
    std::string temporary_;
    posix::Descriptor file_;  // the temporary file, held open until committed
    bool committed_ = false;
};

}  // namespace zor::files
