// The h5py walks: the writer and reader backends through which core/format's
// write_plan and read_tree work on groups of h5py's Python API. h5py carries
// its own copy of the HDF5 library, so identifiers are never shared with the
// native walks; both run the same format rules.
//
// The reader runs none of the native reader's pre-checks (core/file_checks,
// the memory bounds): h5py's HDF5 follows the same structures unchecked, but
// its reads do not go through our file driver, and the group may belong to a
// file in memory or with changes not yet written, so a check could not see
// the bytes h5py then reads. Untrusted files are for the native reader.
#pragma once

#include "core/format/format.hpp"

#include <optional>
#include <string>
#include <vector>

namespace zor::h5py_walk {

namespace nb = nanobind;

class Writer {
public:
    using Group = nb::object;

    // `h5py` is the h5py module.
    explicit Writer(PyObject *h5py);

    Group create_group(const Group &parent, PyObject *key);
    void write_text(const Group &parent, PyObject *key, PyObject *text);
    void write_array(const Group &parent, PyObject *key, PyObject *array, const format::Element &element);
    void write_texts(const Group &parent, PyObject *key, PyObject *texts);
    // h5py picks the type of a Python number: int64, float64, its boolean.
    void write_number(const Group &parent, PyObject *key, const format::Entry &entry);

private:
    void create_dataset(const Group &parent, PyObject *key, PyObject *data, PyObject *dtype);

    nb::object string_dtype_;
};

// Answers core/format's questions about an h5py TypeID.
struct Datatype {
    nb::object type;

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
    Datatype super_type() const;
    std::vector<hsize_t> array_dims() const;
};

class Reader {
public:
    using Object = nb::object;
    struct Member {
        std::string name;
        format::Link link;
        nb::object raw_name;  // the name as h5py gives it (bytes)
    };
    using Identity = nb::object;  // the group's h5py ObjectID

    explicit Reader(PyObject *h5py);

    // In ascending byte order of the names, as the native walk lists them.
    std::vector<Member> members(const Object &group);
    Member member(const Object &group, const char *name);
    bool has_link(const Object &group, const char *name);
    Object open(const Object &group, const Member &member);
    format::ObjectKind kind(const Object &object);
    Identity identity(const Object &group);
    std::uint64_t file_size(const Object &root);
    bool reading(const Identity &group) const;
    void enter(const Identity &group);
    void leave(const Identity &group);
    format::Storage storage(const Object &dataset, const format::Element &);
    Datatype type_of(const Object &dataset);
    format::Shape shape(const Object &dataset);
    std::optional<std::string> data_problem(const Object &, const format::Element &, const format::Shape &) {
        return std::nullopt;
    }
    std::optional<std::string> group_problem(const Object &) { return std::nullopt; }
    std::optional<std::string> storage_problem(const Object &) { return std::nullopt; }
    // dataset[()], h5py's reading of the whole dataset; opaque data through
    // its low-level read with the file's type (dataset[()] converts only
    // h5py's own tag).
    nb::object read(const Object &dataset, const format::Element &, const format::Shape &);

private:
    nb::object read_opaque(const Object &dataset, const format::Element &, const format::Shape &);

    nb::object group_type_, dataset_type_, all_;
    nb::object reading_;  // set of the groups from the walk's root to the one it reads
};

}  // namespace zor::h5py_walk
