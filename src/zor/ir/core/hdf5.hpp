// The HDF5 C library: move-only RAII handles, error translation, and the
// reader and writer of the native walks.
//
// Every identifier the serialization module opens lives in a Handle, so that
// each one is closed on every path, success or error. HDF5 failures become
// Python exceptions: the kind and message say what failed, the cause carries
// the library's own error stack.
#pragma once

#include "core/format.hpp"
#include "core/file_checks.hpp"
#include "core/python.hpp"

#include <hdf5.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zor::hdf5 {

namespace nb = nanobind;

// Raises the Python exception for the HDF5 call that just failed. `what`
// names the operation ("Unable to create file"); `filename`, when given, is
// the caller's path, which OSErrors carry. HDF5's error stack is cleared.
[[noreturn]] void fail(const std::string &what, const std::string &filename = {});

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
    Handle(hid_t id, const char *what, const std::string &filename = {}) : id_(id) {
        if (id < 0)
            fail(what, filename);
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
    void close(const char *what, const std::string &filename = {}) {
        hid_t id = std::exchange(id_, H5I_INVALID_HID);
        if (id >= 0 && Close(id) < 0)
            fail(what, filename);
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

// ---------------------------------------------------------------- native walks
//
// The backends through which core/format's write_plan and read_tree work on
// the C library (see there for what each operation means).

// The HDF5 datatype of each element type (core/format's table), made once
// per file and used both as file type and as memory type, so that data moves
// without conversion.
class Types {
public:
    hid_t of(const format::Element &element);

private:
    std::map<std::uint64_t, Type> cache_;
};

class Writer {
public:
    using Group = Object;

    Writer();
    // The file creation property list: the root group without timestamps.
    static PropertyList file_creation();

    Group create_group(const Group &parent, PyObject *key);
    void write_text(const Group &parent, PyObject *key, PyObject *text);
    void write_array(const Group &parent, PyObject *key, PyObject *array, const format::Element &element);
    void write_texts(const Group &parent, PyObject *key, PyObject *texts);
    void write_number(const Group &parent, PyObject *key, const format::Entry &entry);

private:
    void write(const Group &parent, PyObject *key, hid_t type, hid_t space, hid_t transfer, const void *data);

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
};

format::Link link_kind(H5L_type_t type);

class Reader {
public:
    using Object = ::zor::hdf5::Object;
    struct Member {
        std::string name;
        format::Link link;
        haddr_t address;  // hard links: the object's address in the file
    };

    explicit Reader(const File &file);

    std::vector<Member> members(const Object &group);
    Member member(const Object &group, const char *name);
    bool has_link(const Object &group, const char *name);
    Object open(const Object &group, const Member &member);
    format::ObjectKind kind(const Object &object);
    bool first_visit(const Member &member, const Object &group);
    format::Storage storage(const Object &dataset, const format::Element &element);
    Datatype type_of(const Object &dataset);
    format::Shape shape(const Object &dataset);
    std::optional<std::string> data_problem(const Object &dataset, const format::Element &element,
                                            const format::Shape &shape);
    std::optional<std::string> group_problem(const Object &group);
    nb::object read(const Object &dataset, const format::Element &element, const format::Shape &shape);

private:
    nb::object read_texts(const Object &dataset, const format::Element &element, const format::Shape &shape);

    Types types_;
    PropertyList small_transfer_;
    std::unordered_set<haddr_t> visited_;
    FileChecks checks_;
};

}  // namespace zor::hdf5
