#include "core/global_heap.hpp"
#include "core/hdf5.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zor::hdf5 {

namespace {

// Collections and the headers in them are laid out in steps of 8 bytes.
std::uint64_t aligned(std::uint64_t size) { return (size + 7) / 8 * 8; }

// HDF5 never makes a smaller collection.
constexpr std::uint64_t kSmallestCollection = 4096;

[[noreturn]] void fail_with_errno() {
    PyErr_SetFromErrno(PyExc_OSError);
    py::throw_error();
}

std::string corrupt(const std::string &detail) { return "has corrupt variable-length strings (" + detail + ")"; }

}  // namespace

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

GlobalHeap::GlobalHeap(hid_t file) {
    void *handle = nullptr;
    check(H5Fget_vfd_handle(file, H5P_DEFAULT, &handle), "Unable to get the file descriptor");
    descriptor_ = Descriptor(::fcntl(*static_cast<int *>(handle), F_DUPFD_CLOEXEC, 0));
    struct stat status;
    if (descriptor_.get() < 0 || ::fstat(descriptor_.get(), &status) != 0)
        fail_with_errno();
    file_size_ = std::uint64_t(status.st_size);

    PropertyList creation(H5Fget_create_plist(file), "Unable to read file properties");
    hsize_t user_block = 0;
    check(H5Pget_sizes(creation.get(), &address_size_, &length_size_), "Unable to read file properties");
    check(H5Pget_userblock(creation.get(), &user_block), "Unable to read file properties");
    base_ = user_block;
}

std::optional<std::string> GlobalHeap::problem_with(haddr_t offset, hsize_t storage_size, std::uint64_t count,
                                                    std::size_t base_size) {
    // On disk an element is its length, the collection's address and the object's index.
    const std::uint64_t element_size = 4 + address_size_ + 4;
    if (count > UINT64_MAX / element_size || storage_size != count * element_size)
        return corrupt(py::join({std::to_string(storage_size), " bytes of storage for ", std::to_string(count),
                                 " elements"}));
    std::vector<std::uint8_t> elements;
    if (!read(offset, storage_size, elements))
        return corrupt("their storage lies outside the file");

    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t *element = elements.data() + i * element_size;
        const std::uint64_t length = decode(element, 4);
        const std::uint64_t address = decode(element + 4, address_size_);
        const std::uint64_t index = decode(element + 4 + address_size_, 4);
        auto problem = [&](const std::string &detail) { return corrupt(py::join({"element ", std::to_string(i), ": ", detail})); };
        if (address == 0) {  // a null string: HDF5 reads nothing
            if (length != 0)
                return problem("length " + std::to_string(length) + " without a heap object");
            continue;
        }
        const Collection &found = collection(address);
        if (!found.problem.empty())
            return problem(found.problem);
        const std::string object = py::join({"heap object ", std::to_string(index), " of the collection at ",
                                             std::to_string(address)});
        auto size = found.object_sizes.find(index);
        if (size == found.object_sizes.end())
            return problem(object + " does not exist");
        std::uint64_t expected = 0;
        if (__builtin_mul_overflow(length, std::uint64_t(base_size), &expected) || size->second != expected)
            return problem(py::join({object, " holds ", std::to_string(size->second), " bytes, not ",
                                     std::to_string(length), " items of ", std::to_string(base_size)}));
    }
    return std::nullopt;
}

const GlobalHeap::Collection &GlobalHeap::collection(std::uint64_t address) {
    auto found = collections_.find(address);
    if (found == collections_.end())
        found = collections_.emplace(address, parse(address)).first;
    return found->second;
}

// Walks the objects as HDF5 loads them, and finds fault with whatever would
// make it read past the collection or stop advancing.
GlobalHeap::Collection GlobalHeap::parse(std::uint64_t address) const {
    const std::string where = "the heap collection at " + std::to_string(address);
    auto refuse = [](std::string problem) { return Collection{std::move(problem), {}}; };
    if (address > UINT64_MAX - base_)
        return refuse(where + " lies outside the file");
    const std::uint64_t offset = base_ + address;

    // "GCOL", version 1, 3 reserved bytes, the collection's size.
    const std::uint64_t header_size = aligned(8 + length_size_);
    std::vector<std::uint8_t> bytes;
    if (!read(offset, header_size, bytes))
        return refuse(where + " lies outside the file");
    if (std::memcmp(bytes.data(), "GCOL", 4) != 0 || bytes[4] != 1)
        return refuse("there is no heap collection at " + std::to_string(address));
    const std::uint64_t size = decode(bytes.data() + 8, length_size_);
    if (size < kSmallestCollection)
        return refuse(where + " is too small");
    if (!read(offset, size, bytes))
        return refuse(where + " lies outside the file");

    // Each object: its index (2 bytes), reference count (2), 4 reserved
    // bytes, its size, then its data padded to 8 bytes. Index 0 is the free
    // space, which runs to the end; a tail too short for a header is free too.
    const std::uint64_t object_header = aligned(8 + length_size_);
    Collection collection;
    for (std::uint64_t at = header_size; size - at >= object_header;) {
        const std::uint8_t *object = bytes.data() + at;
        const std::uint64_t index = decode(object, 2);
        const std::uint64_t object_size = decode(object + 8, length_size_);
        if (index == 0) {
            if (object_size != size - at)  // HDF5 would go on reading objects, or stand still
                return refuse(where + " has damaged free space");
            break;
        }
        const std::uint64_t room = size - at - object_header;
        if (object_size > room || aligned(object_size) > room)
            return refuse(py::join({"object ", std::to_string(index), " runs past the end of ", where}));
        if (!collection.object_sizes.emplace(index, object_size).second)
            return refuse(py::join({"object ", std::to_string(index), " appears twice in ", where}));
        at += object_header + aligned(object_size);
    }
    return collection;
}

bool GlobalHeap::read(std::uint64_t offset, std::uint64_t size, std::vector<std::uint8_t> &into) const {
    if (offset > file_size_ || size > file_size_ - offset)
        return false;
    into.resize(size);
    for (std::uint64_t done = 0; done < size;) {
        ssize_t count = ::pread(descriptor_.get(), into.data() + done, size - done, off_t(offset + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            fail_with_errno();
        if (count == 0)  // the file shrank since it was opened
            return false;
        done += std::uint64_t(count);
    }
    return true;
}

std::uint64_t GlobalHeap::decode(const std::uint8_t *at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) {
        if (i >= 8 && at[i] != 0)
            return UINT64_MAX;
        if (i < 8)
            value = (value << 8) | at[i];
    }
    return value;
}

}  // namespace zor::hdf5
