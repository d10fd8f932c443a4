// The paths that write, read and read_version work on, and the replacement
// of a file by a new one.
#pragma once

#include "core/io/posix.hpp"

#include <string>

namespace zor::files {

namespace nb = nanobind;

// A caller's path argument (str, bytes or os.PathLike), made a pathlib.Path.
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
// not a file: <path>"), its parent must exist (ValueError "Parent directory
// does not exist: <parent>"), and what it names, if anything, must be a
// regular file (ValueError "Path is not a file: <path>"), which a write
// replaces instead of writing into a pipe or device.
Path writable_path(PyObject *argument);

// A new file built beside its target and renamed over it only once complete,
// so that a failed write leaves an existing file untouched. The new file
// gets the replaced file's permissions, and its owner and group where the
// process may set them; a symbolic link keeps pointing at the file it names.
//
// The new file has one short name per target, ".zor-<hash>.tmp", locked by
// its writer: a file left there by a writer that was killed is taken over
// and removed by the next write of the same target; a write while another is
// in progress raises BlockingIOError. When the directory refuses the new
// file but the target itself may be written, the target is written in place,
// as opening it for writing would.
class Replacement {
public:
    Replacement(const Path &target, bool durable);
    // Removes the new file unless it was committed.
    ~Replacement();
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // Where the new file is to be written, and its open descriptor: the
    // writer's lock is on it, so HDF5 must not lock it again.
    const std::string &destination() const { return in_place_ ? target_ : temporary_; }
    int descriptor() const { return file_.get(); }

    // Flushes the new file to disk (when durable) and moves it over the target.
    void commit();

private:
    void take_temporary(const std::string &label);

    std::string target_;  // the target, its symbolic links followed
    std::string temporary_;
    posix::Descriptor file_;  // the new file (locked) or the target in place, open until committed
    bool durable_;
    bool in_place_ = false;
    bool committed_ = false;
};

}  // namespace zor::files
