#include "core/files.hpp"

#include <cerrno>
#include <cstdio>
#include <random>

#include <fcntl.h>
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

Path to_path(PyObject *argument) {
    nb::object path = py::steal(PyObject_CallOneArg(names().path_type, argument));
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
    encode(path);
    return path;
}

Replacement::Replacement(const Path &target) : target_(follow_links(target.native)) {
    // Opening the file for writing would respect its protection; so does this.
    if (::access(target_.c_str(), F_OK) == 0 && ::access(target_.c_str(), W_OK) != 0)
        posix::raise_os_error(errno, target.native);
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.tmp", random(), random());
    temporary_ = directory_of(target_) + "/." + base_name(target_) + suffix;
    file_ = posix::Descriptor(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file_)
        posix::raise_os_error(errno, target.native);
}

Replacement::~Replacement() {
    if (!committed_)
        ::unlink(temporary_.c_str());
}

void Replacement::commit() {
    struct stat replaced;
    if (::stat(target_.c_str(), &replaced) == 0) {
        if (::fchmod(file_.get(), replaced.st_mode & 07777) != 0)
            posix::raise_os_error(errno, target_);
    } else if (errno != ENOENT) {  // a new file keeps the permissions it was created with
        posix::raise_os_error(errno, target_);
    }
    if (::fsync(file_.get()) != 0 || !file_.close())
        posix::raise_os_error(errno, target_);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0)
        posix::raise_os_error(errno, target_);
    committed_ = true;
    flush_directory(directory_of(target_));
}

}  // namespace zor::files
