#include "core/guard/driver.hpp"
#include "core/io/posix.hpp"

#include <H5FDdevelop.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zor::hdf5 {

namespace {

constexpr std::uint64_t kPage = 4096;
constexpr haddr_t kMaxAddress = (haddr_t(1) << (8 * sizeof(off_t) - 1)) - 1;
constexpr H5FD_class_value_t kDriverValue = 0x5a4f;  // "ZO", among the values left to users

// What a file access property list carries to open().
struct Options {
    int fd;
    const std::string *label;
};

// HDF5's view of an open file comes first, as every driver's must.
struct File {
    H5FD_t pub;
    DriverFile *state;
    haddr_t eoa, eof;
    dev_t device;
    ino_t inode;
};

File *file_of(H5FD_t *file) { return reinterpret_cast<File *>(file); }
const File *file_of(const H5FD_t *file) { return reinterpret_cast<const File *>(file); }

herr_t push(const char *function, hid_t major, hid_t minor, const char *what, int error) {
    H5Epush2(H5E_DEFAULT, __FILE__, function, __LINE__, H5E_ERR_CLS, major, minor, "%s (%s)", what,
             std::strerror(error));
    return -1;
}

H5FD_t *open_file(const char *, unsigned flags, hid_t access, haddr_t maxaddr) {
    const auto *options = static_cast<const Options *>(H5Pget_driver_info(access));
    if (!options) {
        H5Epush2(H5E_DEFAULT, __FILE__, "open_file", __LINE__, H5E_ERR_CLS, H5E_VFL, H5E_BADVALUE,
                 "no descriptor given to the driver");
        return nullptr;
    }
    int fd = ::fcntl(options->fd, F_DUPFD_CLOEXEC, 0);
    struct stat status;
    if (fd < 0 || ((flags & H5F_ACC_TRUNC) && ::ftruncate(fd, 0) != 0) || ::fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        push("open_file", H5E_FILE, H5E_CANTOPENFILE, "unable to open file", error);
        return nullptr;
    }
    auto *file = new (std::nothrow) File{};
    auto *state = new (std::nothrow) DriverFile{};
    if (!file || !state) {
        delete file;
        delete state;
        ::close(fd);
        push("open_file", H5E_RESOURCE, H5E_CANTALLOC, "unable to allocate the file", ENOMEM);
        return nullptr;
    }
    state->fd = fd;
    state->size = std::uint64_t(status.st_size);
    state->label = options->label;
    state->read_only = !(flags & H5F_ACC_RDWR);
    file->state = state;
    file->eof = haddr_t(status.st_size);
    file->device = status.st_dev;
    file->inode = status.st_ino;
    (void)maxaddr;
    return &file->pub;
}

herr_t close_file(H5FD_t *handle) {
    File *file = file_of(handle);
    const int result = ::close(file->state->fd);
    delete file->state;
    delete file;
    return result == 0 ? 0 : push("close_file", H5E_IO, H5E_CLOSEERROR, "unable to close file", errno);
}

int compare(const H5FD_t *a, const H5FD_t *b) {
    const File *x = file_of(a), *y = file_of(b);
    if (x->device != y->device)
        return x->device < y->device ? -1 : 1;
    if (x->inode != y->inode)
        return x->inode < y->inode ? -1 : 1;
    return 0;
}

herr_t query(const H5FD_t *, unsigned long *flags) {
    if (flags)
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
    return 0;
}

haddr_t get_eoa(const H5FD_t *file, H5FD_mem_t) { return file_of(file)->eoa; }

herr_t set_eoa(H5FD_t *file, H5FD_mem_t, haddr_t address) {
    file_of(file)->eoa = address;
    return 0;
}

haddr_t get_eof(const H5FD_t *file, H5FD_mem_t) { return file_of(file)->eof; }

herr_t get_handle(H5FD_t *file, hid_t, void **handle) {
    *handle = file_of(file)->state;
    return 0;
}

bool outside(haddr_t address, std::size_t size) {
    return address == HADDR_UNDEF || address > kMaxAddress || size > kMaxAddress - address;
}

// Metadata of a file opened for reading comes from pinned pages. Anything
// else is read as sec2 does (zeros past the end of the file), with the
// pinned pages laid over what was read.
herr_t read_file(H5FD_t *handle, H5FD_mem_t type, hid_t, haddr_t address, std::size_t size, void *buffer) {
    File *file = file_of(handle);
    if (outside(address, size))
        return push("read_file", H5E_ARGS, H5E_OVERFLOW, "address out of range", EINVAL);
    auto *into = static_cast<std::uint8_t *>(buffer);
    if (file->state->read_only && type != H5FD_MEM_DRAW)
        return file->state->read_pinned(address, size, into) ? 0
                                                             : push("read_file", H5E_IO, H5E_READERROR,
                                                                    "file read failed", errno ? errno : EIO);
    for (std::size_t done = 0; done < size;) {
        ssize_t count = ::pread(file->state->fd, into + done, size - done, off_t(address + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return push("read_file", H5E_IO, H5E_READERROR, "file read failed", errno);
        if (count == 0) {
            std::memset(into + done, 0, size - done);
            break;
        }
        done += std::size_t(count);
    }
    const auto &pinned = file->state->pinned;
    for (auto page = pinned.lower_bound(address / kPage); page != pinned.end() && page->first * kPage < address + size;
         ++page) {
        const std::uint64_t start = std::max<std::uint64_t>(page->first * kPage, address);
        const std::uint64_t end = std::min<std::uint64_t>(page->first * kPage + page->second.size(), address + size);
        if (start < end)
            std::memcpy(into + (start - address), page->second.data() + (start - page->first * kPage), end - start);
    }
    return 0;
}

herr_t write_file(H5FD_t *handle, H5FD_mem_t type, hid_t, haddr_t address, std::size_t size, const void *buffer) {
    File *file = file_of(handle);
    if (outside(address, size))
        return push("write_file", H5E_ARGS, H5E_OVERFLOW, "address out of range", EINVAL);
    const auto *from = static_cast<const std::uint8_t *>(buffer);
    for (std::size_t done = 0; done < size && !file->state->failed_errno;) {
        ssize_t count = ::pwrite(file->state->fd, from + done, size - done, off_t(address + done));
        if (count < 0 && errno != EINTR)
            file->state->failed_errno = errno;
        else if (count > 0)
            done += std::size_t(count);
    }
    // HDF5 reads its own metadata back, never raw data.
    if (file->state->failed_errno && type != H5FD_MEM_DRAW)
        file->state->keep(address, from, size);
    file->eof = std::max(file->eof, haddr_t(address + size));
    return 0;
}

herr_t truncate_file(H5FD_t *handle, hid_t, hbool_t) {
    File *file = file_of(handle);
    if (file->state->failed_errno || file->eoa == file->eof)
        return 0;
    if (::ftruncate(file->state->fd, off_t(file->eoa)) != 0)
        file->state->failed_errno = errno;
    file->eof = file->eoa;
    return 0;
}

herr_t terminate() { return 0; }

H5FD_class_t make_class() {
    H5FD_class_t cls{};
    cls.version = H5FD_CLASS_VERSION;
    cls.value = kDriverValue;
    cls.name = "zor_posix";
    cls.maxaddr = kMaxAddress;
    cls.fc_degree = H5F_CLOSE_WEAK;
    cls.terminate = terminate;
    cls.fapl_size = sizeof(Options);
    cls.open = open_file;
    cls.close = close_file;
    cls.cmp = compare;
    cls.query = query;
    cls.get_eoa = get_eoa;
    cls.set_eoa = set_eoa;
    cls.get_eof = get_eof;
    cls.get_handle = get_handle;
    cls.read = read_file;
    cls.write = write_file;
    cls.truncate = truncate_file;
    const H5FD_mem_t dichotomy[] = H5FD_FLMAP_DICHOTOMY;
    std::copy(std::begin(dichotomy), std::end(dichotomy), cls.fl_map);
    return cls;
}

hid_t driver() {
    static const H5FD_class_t cls = make_class();
    static hid_t id = H5I_INVALID_HID;
    if (id < 0 || H5Iis_valid(id) <= 0)
        id = check(H5FDregister(&cls), "Unable to register the file driver");
    return id;
}

}  // namespace

bool DriverFile::read_checked(std::uint64_t offset, std::uint64_t length, std::vector<std::uint8_t> &into) {
    if (offset > size || length > size - offset)
        return false;
    into.resize(length);
    return read_pinned(offset, length, into.data());
}

// A page is pinned as the file held it when it was opened: its part past
// that end (the file has grown), or past the file's end now (it has
// shrunk), is zeros, as HDF5 reads past the end of a file.
bool DriverFile::read_pinned(std::uint64_t offset, std::uint64_t length, std::uint8_t *into) {
    for (std::uint64_t page = offset / kPage; length && page <= (offset + length - 1) / kPage; ++page) {
        const std::uint64_t start = std::max(offset, page * kPage), end = std::min(offset + length, (page + 1) * kPage);
        if (page * kPage >= size) {  // nothing to pin
            std::memset(into + (start - offset), 0, end - start);
            continue;
        }
        auto found = pinned.find(page);
        if (found == pinned.end()) {
            std::vector<std::uint8_t> bytes(std::min(kPage, size - page * kPage));
            for (std::size_t done = 0; done < bytes.size();) {
                ssize_t count = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(page * kPage + done));
                if (count < 0 && errno == EINTR)
                    continue;
                if (count < 0)
                    return false;
                if (count == 0) {
                    std::fill(bytes.begin() + std::ptrdiff_t(done), bytes.end(), 0);
                    break;
                }
                done += std::size_t(count);
            }
            found = pinned.emplace(page, std::move(bytes)).first;
        }
        const std::uint64_t held = std::min(end, page * kPage + found->second.size());
        if (start < held)
            std::memcpy(into + (start - offset), found->second.data() + (start - page * kPage), held - start);
        if (std::max(start, held) < end)
            std::memset(into + (std::max(start, held) - offset), 0, end - std::max(start, held));
    }
    return true;
}

void DriverFile::keep(std::uint64_t offset, const std::uint8_t *data, std::uint64_t length) {
    for (std::uint64_t page = offset / kPage; length && page <= (offset + length - 1) / kPage; ++page) {
        std::vector<std::uint8_t> &bytes = pinned[page];
        if (bytes.size() < kPage) {  // what the file holds there, zeros past its end
            std::vector<std::uint8_t> whole(kPage, 0);
            std::copy(bytes.begin(), bytes.end(), whole.begin());
            if (bytes.empty() && ::pread(fd, whole.data(), kPage, off_t(page * kPage)) < 0)
                std::fill(whole.begin(), whole.end(), 0);
            bytes.swap(whole);
        }
        const std::uint64_t start = std::max(offset, page * kPage);
        const std::uint64_t end = std::min(offset + length, (page + 1) * kPage);
        std::memcpy(bytes.data() + (start - page * kPage), data + (start - offset), end - start);
    }
}

void DriverFile::raise_if_failed() const {
    if (failed_errno)
        posix::raise_os_error(failed_errno, label ? *label : std::string());
}

PropertyList driver_access(int fd, const std::string &label) {
    PropertyList access(H5Pcreate(H5P_FILE_ACCESS), "Unable to create a property list");
    const Options options{fd, &label};
    check(H5Pset_driver(access.get(), driver(), &options), "Unable to set the file driver");
    check(H5Pset_file_locking(access.get(), false, true), "Unable to set file access properties");
    return access;
}

DriverFile &driver_file(hid_t file) {
    void *handle = nullptr;
    check(H5Fget_vfd_handle(file, H5P_DEFAULT, &handle), "Unable to get the file driver");
    return *static_cast<DriverFile *>(handle);
}

}  // namespace zor::hdf5
