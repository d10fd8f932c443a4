// The native walks: the writer and reader backends through which
// core/format's write_plan and read_tree work on the HDF5 C library (see
// there for what each operation means).
#pragma once

#include "core/guard/driver.hpp"
#include "core/guard/file_checks.hpp"
#include "core/guard/file_map.hpp"
#include "core/format/format.hpp"
#include "core/format/hdf5.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace zor::hdf5 {

namespace nb = nanobind;

// Single strings and short string arrays convert through a small buffer:
// HDF5's default is a 1 MiB buffer, zero-filled for every transfer.
constexpr std::size_t kSmallBuffer = 64 * 1024;
constexpr std::size_t kSmallBufferStrings = kSmallBuffer / 16;  // 16 bytes per string in transit
PropertyList small_transfer_buffer();

// The HDF5 datatype of each element type (core/format's table), made once
// per file and used both as file type and as memory type, so that data moves
// without conversion.
class Types {
public:
    hid_t of(const format::Element &element);

private:
    std::map<std::uint64_t, Type> cache_;
};

// write(compression=..., checksum=...): how big number arrays are stored.
// Off (the default), every array is stored contiguously, as h5py does.
struct ArrayFilters {
    int deflate_level = 0;  // 1 to 9: shuffled and deflated at this level
    bool checksum = false;  // Fletcher-32 of every chunk

    bool any() const { return deflate_level != 0 || checksum; }
};

class Writer {
public:
    using Group = Object;

    // `file`: the driver of the file written, whose failed writes stop the
    // walk at the next dataset (none: the failure shows when it is flushed).
    explicit Writer(ArrayFilters filters = {}, const DriverFile *file = nullptr);
    // The file creation property list: the root group without timestamps.
    static PropertyList file_creation();

    Group create_group(const Group &parent, PyObject *key);
    void write_text(const Group &parent, PyObject *key, PyObject *text);
    void write_array(const Group &parent, PyObject *key, PyObject *array, const format::Element &element);
    void write_texts(const Group &parent, PyObject *key, PyObject *texts);
    void write_number(const Group &parent, PyObject *key, const format::Entry &entry);

private:
    void write(const Group &parent, PyObject *key, hid_t type, hid_t space, hid_t transfer, const void *data);
    // Whether the filters apply to a C-contiguous array: a big array of numbers.
    bool filtered(PyObject *array, const format::Element &element) const;
    // Stores the array in chunks of about 1 MiB, encoded with the filters
    // (core/codec/chunk_codec).
    void write_filtered(const Group &parent, PyObject *key, PyObject *array, const format::Element &element);

    ArrayFilters filters_;
    const DriverFile *file_;

    Types types_;
    PropertyList group_creation_, dataset_creation_, small_transfer_;
    PropertyList group_links_[2];  // [0] ASCII names, [1] UTF-8 names
    Space scalar_;
};

// Answers core/format's questions about one datatype.
struct Datatype {
    Type type;

    int type_class() const;
    std::size_t size() const;
    bool big_endian() const;
    bool is_signed() const;
    bool variable_string() const;
    bool utf8() const;
    int member_count() const;
    std::string member_name(int index) const;
    long long enum_value(int index) const;
    Datatype member(int index) const;
    std::size_t member_offset(int index) const;
    Datatype super_type() const;  // of an enumeration, sequence or array
    std::vector<hsize_t> array_dims() const;
};

// read()'s default for max_array_bytes: 4 GiB.
constexpr std::uint64_t kMaxArrayBytes = std::uint64_t(1) << 32;

class Reader {
public:
    using Object = ::zor::hdf5::Object;
    struct Member {
        std::string name;
        format::Link link;
        haddr_t address;  // hard links: the object's address in the file
    };
    using Identity = haddr_t;

    // `max_array_bytes`: the most a dataset may take in memory when its data
    // does not lie in the file byte for byte (compressed, or never written);
    // none: no limit.
    explicit Reader(const File &file, std::optional<std::uint64_t> max_array_bytes = kMaxArrayBytes);

    std::uint64_t file_size(const Object &) const { return checks_.file_size(); }
    // "has <what> beyond the end of the file (...)" when the `bytes` at
    // `offset` do not lie in the file: every check of data against the
    // file's size, read or mapped (core/format/native_bounds).
    std::optional<std::string> outside_file(const char *what, std::uint64_t offset, std::uint64_t bytes) const;

    // From now on, big arrays stored plainly come back as read-only views of
    // a memory map of the file (read(path, mmap=True)); core/format/native_mapping.
    void map_arrays(const File &file);

    std::vector<Member> members(const Object &group);
    Member member(const Object &group, const char *name);
    bool has_link(const Object &group, const char *name);
    Object open(const Object &group, const Member &member);
    format::ObjectKind kind(const Object &object);
    Identity identity(const Object &group);
    bool reading(Identity group) const { return reading_.count(group) != 0; }
    void enter(Identity group) { reading_.insert(group); }
    void leave(Identity group) { reading_.erase(group); }
    format::Storage storage(const Object &dataset, const format::Element &element);
    Datatype type_of(const Object &dataset);
    format::Shape shape(const Object &dataset);
    std::optional<std::string> data_problem(const Object &dataset, const format::Element &element,
                                            const format::Shape &shape);
    std::optional<std::string> group_problem(const Object &group);
    std::optional<std::string> storage_problem(const Object &dataset);
    nb::object read(const Object &dataset, const format::Element &element, const format::Shape &shape);

private:
    nb::object read_texts(const Object &dataset, const format::Element &element, const format::Shape &shape);
    nb::object read_sequences(const Object &dataset, const format::Shape &shape);
    // The type to read `type` with into an array of format::read_dtype(type):
    // NumPy's layout, into which HDF5 converts.
    Type memory_type(const Datatype &type, const format::Element &element);

    // core/format/native_bounds: whether the memory the dataset's data takes comes
    // from the file, and where it does not, whether it stays within max_array_bytes.
    std::optional<std::string> bounds_problem(const Object &dataset, const format::Element &element,
                                              const format::Shape &shape);
    std::optional<std::string> chunks_problem(const Object &dataset, hid_t creation, const format::Shape &shape,
                                              std::uint64_t type_size, std::uint64_t claimed);
    std::optional<std::string> beyond_limit(std::uint64_t bytes) const;
    // The bytes of one chunk of a chunked dataset, as HDF5 stores it before
    // filters; 0 for other layouts.
    static std::uint64_t chunk_bytes(const Object &dataset);
    [[noreturn]] void fail_reading(const Object &dataset, bool out_of_memory = false);
    // Where a dataset's data lies in the file when it can be viewed there as
    // the array read() would make: nothing when it cannot, or arrays are not mapped.
    std::optional<haddr_t> mapped_offset(const Object &dataset, const format::Element &element,
                                         const format::Shape &shape);

    Types types_;
    PropertyList small_transfer_;
    std::unordered_set<haddr_t> reading_;  // the groups from the walk's root to the one it reads
    std::optional<std::uint64_t> max_array_bytes_;
    FileChecks checks_;
    std::optional<FileMap> map_;
};

// read(path, layout=True): the tree of groups under `root` as dictionaries,
// each dataset as record(shape, dtype, nbytes, stored_nbytes) (the array
// read() would make: its shape tuple, NumPy dtype and size in memory; then
// the bytes it takes in the file), checked as read() checks it but without
// reading any data; pair groups stay groups. core/format/native_layout.
nb::object read_layout(Reader &reader, Object root, const std::string &root_path, const std::string &file,
                       PyObject *record);

}  // namespace zor::hdf5
