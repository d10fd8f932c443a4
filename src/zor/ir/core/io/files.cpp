#include "core/io/files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdint>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace zor::posix {

namespace nb = nanobind;

void raise_os_error(int error, const std::string &filename) {
    nb::object name = py::steal(PyUnicode_DecodeFSDefaultAndSize(filename.data(), Py_ssize_t(filename.size())));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    py::throw_error();
}

}  // namespace zor::posix

namespace zor::files {

namespace {

struct Names {
    PyObject *path_type;  // pathlib.Path
    PyObject *exists, *is_file, *is_dir, *parent;
};
const Names *names_cache = nullptr;

const Names &names() {
    return py::create_once(names_cache, [] {
        nb::object pathlib = py::steal(PyImport_ImportModule("pathlib"));
        return Names{py::attr(pathlib.ptr(), py::intern("Path")).release().ptr(), py::intern("exists"),
                     py::intern("is_file"), py::intern("is_dir"), py::intern("parent")};
    });
}

// Bytes name a file as os.fsencode would give them back: they are decoded
// with the file system's error handler first.
Path to_path(PyObject *argument) {
    nb::object given = py::steal(PyOS_FSPath(argument));
    if (PyBytes_Check(given.ptr()))
        given = py::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(given.ptr()),
                                                           PyBytes_GET_SIZE(given.ptr())));
    nb::object path = py::steal(PyObject_CallOneArg(names().path_type, given.ptr()));
    return {path, py::str(path.ptr()), {}};
}

// Encoded only once the path has passed its checks: a path that cannot be
// encoded (a NUL in it) does not exist for them, as for pathlib.
void encode(Path &path) {
    PyObject *encoded = nullptr;
    if (!PyUnicode_FSConverter(path.path.ptr(), &encoded))
        py::throw_error();
    nb::object owner = py::steal(encoded);
    path.native.assign(PyBytes_AS_STRING(encoded), std::size_t(PyBytes_GET_SIZE(encoded)));
}

bool ask(const nb::object &path, PyObject *method) {
    return py::truthy(py::call_method(path.ptr(), method).ptr());
}

std::string directory_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path itself, or the file a chain of symbolic links ends at (which need
// not exist yet); a chain too long to follow is left for open() to report.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string link(std::size_t(status.st_size) + 1, '\0');
        ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0 || std::size_t(length) >= link.size())
            return path;
        link.resize(std::size_t(length));
        path = link[0] == '/' ? link : directory_of(path) + "/" + link;
    }
    return path;
}

// The new file's name for `target`: short whatever the target's length, and
// the same for every write of that target (FNV-1a of its name).
std::string temporary_for(const std::string &target) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (unsigned char c : base_name(target))
        hash = (hash ^ c) * 0x100000001b3u;
    char name[40];
    std::snprintf(name, sizeof name, ".zor-%016llx.tmp", static_cast<unsigned long long>(hash));
    return directory_of(target) + "/" + name;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// fsync on a directory is refused by some file systems; the rename itself
// has happened by then.
void flush_directory(const std::string &directory) {
    posix::Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd && ::fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP)
        posix::raise_os_error(errno, directory);
}

}  // namespace

Path existing_file(PyObject *argument) {
    Path path = to_path(argument);
    if (!ask(path.path, names().exists))
        py::raise(PyExc_FileNotFoundError, "ZOR-IR file not found: " + path.label);
    if (!ask(path.path, names().is_file))
        py::raise(PyExc_ValueError, "Path is not a file: " + path.label);
    encode(path);
    return path;
}

Path writable_path(PyObject *argument) {
    Path path = to_path(argument);
    if (ask(path.path, names().is_dir))
        py::raise(PyExc_ValueError, "Path is a directory, not a file: " + path.label);
    nb::object parent = py::attr(path.path.ptr(), names().parent);
    if (!ask(parent, names().exists))
        py::raise(PyExc_ValueError, "Parent directory does not exist: " + py::str(parent.ptr()));
    if (ask(path.path, names().exists) && !ask(path.path, names().is_file))
        py::raise(PyExc_ValueError, "Path is not a file: " + path.label);
    encode(path);
    return path;
}

Replacement::Replacement(const Path &target, bool durable)
    : target_(follow_links(target.native)), temporary_(temporary_for(target_)), durable_(durable) {
    // Opening the file for writing would respect its protection; so does this.
    if (::access(target_.c_str(), F_OK) == 0 && ::access(target_.c_str(), W_OK) != 0)
        posix::raise_os_error(errno, target.native);
    take_temporary(target.native);
}

// Opens and locks the new file's name. Whoever held the lock before may have
// renamed the file away or removed it meanwhile: the name must still be the
// file that was locked, else the next try takes the name afresh.
void Replacement::take_temporary(const std::string &label) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        posix::Descriptor fd(::open(temporary_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd) {
            const int error = errno;
            if (error == EACCES || error == EPERM || error == EROFS) {
                file_ = posix::Descriptor(::open(target_.c_str(), O_RDWR | O_CLOEXEC));
                if (file_) {
                    in_place_ = true;
                    return;
                }
            }
            posix::raise_os_error(error, label);
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                posix::raise_os_error(errno, label);
            nb::object name = py::steal(PyUnicode_DecodeFSDefaultAndSize(label.data(), Py_ssize_t(label.size())));
            PyErr_SetObject(PyExc_BlockingIOError,
                            py::steal(Py_BuildValue("(isO)", EWOULDBLOCK, "Another write to this file is in progress",
                                                    name.ptr()))
                                .ptr());
            py::throw_error();
        }
        struct stat opened, named;
        if (::fstat(fd.get(), &opened) != 0)
            posix::raise_os_error(errno, label);
        if (::lstat(temporary_.c_str(), &named) == 0 && same_file(opened, named)) {
            if (::ftruncate(fd.get(), 0) != 0)
                posix::raise_os_error(errno, label);
            file_ = std::move(fd);
            return;
        }
    }
    posix::raise_os_error(EAGAIN, label);
}

Replacement::~Replacement() {
    if (!committed_ && !in_place_)
        ::unlink(temporary_.c_str());  // still locked: nobody else touches it
}

void Replacement::commit() {
    if (in_place_) {
        if (durable_ && ::fsync(file_.get()) != 0)
            posix::raise_os_error(errno, target_);
        committed_ = true;
        return;
    }
    struct stat replaced;
    if (::stat(target_.c_str(), &replaced) == 0) {
        // The owner first: changing it clears set-user-ID bits the mode restores.
        if (::fchown(file_.get(), replaced.st_uid, replaced.st_gid) != 0 && errno == EPERM &&
            ::fchown(file_.get(), uid_t(-1), replaced.st_gid) != 0) {
            // Neither may be set by this process: the new file keeps its own.
        }
        if (::fchmod(file_.get(), replaced.st_mode & 07777) != 0)
            posix::raise_os_error(errno, target_);
    } else if (errno != ENOENT) {  // a new file keeps the permissions it was created with
        posix::raise_os_error(errno, target_);
    }
    if (durable_ && ::fsync(file_.get()) != 0)
        posix::raise_os_error(errno, target_);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0)
        posix::raise_os_error(errno, target_);
    committed_ = true;
    file_.close();
    if (durable_)
        flush_directory(directory_of(target_));
}

}  // namespace zor::files
