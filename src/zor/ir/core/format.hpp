// The ZOR-IR file format, written once and shared by both walks: the native
// one on the HDF5 C library and the one through h5py's Python API.
//
// Writing: plan_tree() turns a dictionary into a Plan, deciding every
// entry's value kind and checking every key and text before anything is
// written; write_plan() then drives a writer backend through the Plan.
// Reading: read_tree() walks a group through a reader backend, refuses what
// a ZOR-IR file never holds, and converts every value as h5py would.
#pragma once

#include "core/python.hpp"

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zor::format {

namespace nb = nanobind;

// ---------------------------------------------------------------- elements

// The element types a file holds, one table for both directions:
//
//   kind     NumPy            HDF5 (as h5py writes it)
//   Bool     bool             enum {FALSE = 0, TRUE = 1} over int8
//   Int      i1 i2 i4 i8      STD_I8 .. STD_I64, either byte order
//   Uint     u1 u2 u4 u8      STD_U8 .. STD_U64, either byte order
//   Float    f2 f4 f8         IEEE half (h5py's layout), IEEE_F32, IEEE_F64
//   Complex  c8 c16           compound {r, i} of two F32 or two F64
//   Bytes    S<n>             fixed-length string of n bytes, NUL-padded
//   Text     object (strs)    variable-length string, UTF-8
struct Element {
    enum Kind : std::uint8_t { Bool, Int, Uint, Float, Complex, Bytes, Text };
    Kind kind;
    std::uint32_t size = 0;   // bytes per element (both parts for Complex); 0 for Text
    bool big_endian = false;  // numbers
    bool utf8 = true;         // strings: the character set

    // Identifies the element type, for caches.
    std::uint64_t key() const {
        return (std::uint64_t(kind) << 40) | (std::uint64_t(size) << 8) |
               (std::uint64_t(big_endian) << 1) | std::uint64_t(utf8);
    }
};

// The element type of a NumPy dtype, if a file can hold it (an object dtype
// maps to Text; its elements are checked separately).
std::optional<Element> element_of(PyObject *descr);

// A new NumPy dtype (PyArray_Descr) for an element type read from a file.
nb::object dtype_of(const Element &element);

// Sorts an HDF5 datatype into the element table. `View` answers questions
// about one datatype (native: an hid_t; h5py: a TypeID object), so both
// walks accept and refuse exactly the same types.
struct Classified {
    std::optional<Element> element;
    std::string unsupported = {};  // what the type is, when it is not supported
};

template <typename View>
Classified classify(const View &type) {
    auto refuse = [](std::string what) { return Classified{std::nullopt, std::move(what)}; };
    const std::size_t size = type.size();
    switch (type.type_class()) {
        case H5T_INTEGER:
            if (size != 1 && size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte integer");
            return {Element{type.is_signed() ? Element::Int : Element::Uint,
                            std::uint32_t(size), type.big_endian()}};
        case H5T_FLOAT:
            if (size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte float");
            return {Element{Element::Float, std::uint32_t(size), type.big_endian()}};
        case H5T_STRING:
            if (type.variable_string())
                return {Element{Element::Text, 0, false, type.utf8()}};
            return {Element{Element::Bytes, std::uint32_t(size), false, type.utf8()}};
        case H5T_ENUM:
            // h5py's boolean: exactly the members FALSE = 0 and TRUE = 1.
            if (type.member_count() == 2) {
                bool false_first = type.member_name(0) == "FALSE";
                auto [f, t] = false_first ? std::pair{0, 1} : std::pair{1, 0};
                if (type.member_name(f) == "FALSE" && type.member_name(t) == "TRUE" &&
                    type.enum_value(f) == 0 && type.enum_value(t) == 1)
                    return {Element{Element::Bool, 1}};
            }
            return refuse("enumeration other than FALSE/TRUE");
        case H5T_COMPOUND:
            // h5py's complex numbers: members r and i of one float type.
            if (type.member_count() == 2 && type.member_name(0) == "r" &&
                type.member_name(1) == "i") {
                auto real = type.member(0), imag = type.member(1);
                std::size_t part = real.size();
                if (real.type_class() == H5T_FLOAT && imag.type_class() == H5T_FLOAT &&
                    (part == 4 || part == 8) && imag.size() == part &&
                    real.big_endian() == imag.big_endian())
                    return {Element{Element::Complex, std::uint32_t(2 * part), real.big_endian()}};
            }
            return refuse("compound other than a complex number (r, i)");
        case H5T_TIME: return refuse("time");
        case H5T_BITFIELD: return refuse("bitfield");
        case H5T_OPAQUE: return refuse("opaque");
        case H5T_REFERENCE: return refuse("reference");
        case H5T_VLEN: return refuse("variable-length sequence");
        case H5T_ARRAY: return refuse("array");
        default: return refuse("unknown class");
    }
}

// Arrays of at least this many bytes are big: read(mmap=True) maps them, and
// write(compression=..., checksum=...) stores them in filtered chunks (below
// this size a chunk index costs about as much as compression saves).
constexpr std::uint64_t kBigArray = 64 * 1024;

// ---------------------------------------------------------------- writing

// How one dictionary entry is stored.
enum class Store : std::uint8_t {
    Group,    // nested dictionary: a subgroup, filled later
    Text,     // str: scalar variable-length string
    Array,    // NumPy array or scalar: dataset of its own element type
    Texts,    // list or object array of texts: variable-length strings
    Pairs,    // list of pairs: group with the datasets src and dst
    Integer,  // Python int: scalar int64
    Real,     // Python float: scalar float64
    Boolean,  // Python bool: scalar boolean enumeration
};

struct Entry {
    Store store;
    std::uint32_t group;      // the group the entry goes into
    std::uint32_t child = 0;  // Group: the new group's index
    Element element{Element::Text};  // Array
    nb::object key;
    nb::object value;   // Text: str; Array: ndarray; Texts: list or object
                        // ndarray of str/bytes; Pairs: the src list
    nb::object second;  // Pairs: dst
    long long integer = 0;  // Integer and Boolean
    double real = 0.0;      // Real
};

struct Plan {
    struct Group {
        std::uint32_t parent;
        nb::object key;
    };
    std::string root_path;      // the HDF5 path of groups[0]
    std::vector<Group> groups;  // [0] is the group the walk starts in
    // In creation order. The entries of one dictionary are contiguous, so a
    // group is complete once the entries move on to another group.
    std::vector<Entry> entries;

    std::string path_of(std::uint32_t group) const;
};

// Plans `data` (an exact dict) into the group at `root_path`. Raises, before
// anything is written, for every key or value the file cannot hold.
Plan plan_tree(PyObject *data, std::string root_path);

// The names of a pair group's members.
PyObject *src_name();
PyObject *dst_name();

// Drives `writer` through the plan. A Writer offers
//   Group create_group(const Group &parent, PyObject *key);
//   void write_text(const Group &, PyObject *key, PyObject *text);
//   void write_array(const Group &, PyObject *key, PyObject *array, const Element &);
//   void write_texts(const Group &, PyObject *key, PyObject *texts);
//   void write_number(const Group &, PyObject *key, const Entry &);
template <typename Writer>
void write_plan(Writer &writer, const Plan &plan, typename Writer::Group root) {
    std::vector<typename Writer::Group> groups(plan.groups.size());
    groups[0] = std::move(root);
    std::uint32_t current = 0;
    for (const Entry &entry : plan.entries) {
        if (entry.group != current) {
            groups[current] = {};  // complete: release it now
            current = entry.group;
        }
        const auto &parent = groups[entry.group];
        PyObject *key = entry.key.ptr();
        switch (entry.store) {
            case Store::Group: groups[entry.child] = writer.create_group(parent, key); break;
            case Store::Text: writer.write_text(parent, key, entry.value.ptr()); break;
            case Store::Array: writer.write_array(parent, key, entry.value.ptr(), entry.element); break;
            case Store::Texts: writer.write_texts(parent, key, entry.value.ptr()); break;
            case Store::Pairs: {
                auto pairs = writer.create_group(parent, key);
                writer.write_texts(pairs, src_name(), entry.value.ptr());
                writer.write_texts(pairs, dst_name(), entry.second.ptr());
                break;
            }
            case Store::Integer:
            case Store::Real:
            case Store::Boolean: writer.write_number(parent, key, entry); break;
        }
    }
}

// ---------------------------------------------------------------- reading

enum class Link { Hard, Soft, External, Other };

// The kind of an HDF5 link type (H5L_type_t).
inline Link link_kind(long long type) {
    switch (type) {
        case H5L_TYPE_HARD: return Link::Hard;
        case H5L_TYPE_SOFT: return Link::Soft;
        case H5L_TYPE_EXTERNAL: return Link::External;
        default: return Link::Other;
    }
}
enum class ObjectKind { Group, Dataset, Other };
enum class Storage { InFile, External, Virtual };

struct Shape {
    bool null = false;    // a null dataspace: no data at all
    bool scalar = false;  // a scalar dataspace
    std::vector<hsize_t> dims;
};

// Raises ZORFormatError "Invalid ZOR-IR file: '<member>' <problem> in <file>".
[[noreturn]] void refuse(const std::string &member, const std::string &problem,
                         const std::string &file);
// The same, caused by the exception `cause`.
[[noreturn]] void refuse(const std::string &member, const std::string &problem,
                         const std::string &file, PyObject *cause);

// Thrown by a reader backend when a dataset's filtered data cannot be
// decoded (a Fletcher-32 checksum mismatch, a broken compressed chunk), with
// the library's error; read_dataset refuses the dataset by name, caused by it.
struct CorruptData {
    nb::python_error cause;
};
void set_format_error(PyObject *type);
PyObject *format_error();

// A dictionary key from an HDF5 link name: text when it is UTF-8 (as h5py
// decodes names), the raw bytes otherwise.
nb::object key_of(const std::string &name);

// The value a dataset's data stands for in the dictionary: byte strings are
// decoded as UTF-8, arrays of fixed-length byte strings become lists of text,
// everything else is kept.
nb::object dictionary_value(nb::object value);

// A pair group's list of (src, dst) tuples; byte-string elements decoded.
nb::object pair_list(PyObject *src, PyObject *dst);

inline std::string child_path(const std::string &parent, const std::string &name) {
    return parent == "/" ? "/" + name : parent + "/" + name;
}

inline void require_hard(Link link, const std::string &path, const std::string &file) {
    switch (link) {
        case Link::Hard: return;
        case Link::Soft: refuse(path, "is a soft link", file);
        case Link::External: refuse(path, "is an external link", file);
        case Link::Other: refuse(path, "is a user-defined link", file);
    }
}

// Reads one dataset whole, after checking that it has a supported type
// (first: only then are its properties read), keeps its data in this file
// where it can be found safely, and that its data is sound. A Reader offers
//   TypeView type_of(const Object &);
//   Storage storage(const Object &, const Element &);  Shape shape(const Object &);
//   std::optional<std::string> storage_problem(const Object &);
//   std::optional<std::string> data_problem(const Object &, const Element &, const Shape &);
//   nb::object read(const Object &, const Element &, const Shape &);
struct DatasetInfo {
    Element element;
    Shape shape;
};

// The checks of read_dataset that need no data: the dataset's element type
// and shape, when it has a supported type and keeps its data in this file.
template <typename Reader>
DatasetInfo inspect_dataset(Reader &reader, const typename Reader::Object &dataset, const std::string &path,
                            const std::string &file, bool one_dimensional) {
    Classified type = classify(reader.type_of(dataset));
    if (!type.element)
        refuse(path, "has an unsupported datatype (" + type.unsupported + ")", file);
    switch (reader.storage(dataset, *type.element)) {
        case Storage::InFile: break;
        case Storage::External: refuse(path, "keeps its data in an external file", file);
        case Storage::Virtual: refuse(path, "is a virtual dataset", file);
    }
    if (std::optional<std::string> problem = reader.storage_problem(dataset))
        refuse(path, *problem, file);
    Shape shape = reader.shape(dataset);
    if (shape.null)
        refuse(path, "has a null dataspace", file);
    if (one_dimensional && (shape.scalar || shape.dims.size() != 1))
        refuse(path, "is not one-dimensional", file);
    return {*type.element, std::move(shape)};
}

template <typename Reader>
nb::object read_dataset(Reader &reader, const typename Reader::Object &dataset,
                        const std::string &path, const std::string &file, bool one_dimensional) {
    auto [element, shape] = inspect_dataset(reader, dataset, path, file, one_dimensional);
    if (std::optional<std::string> problem = reader.data_problem(dataset, element, shape))
        refuse(path, *problem, file);
    try {
        return reader.read(dataset, element, shape);
    } catch (CorruptData &corrupt) {
        refuse(path, "fails its checksum or cannot be decompressed", file, corrupt.cause.value().ptr());
    }
}

// Reads a pair group: src, then dst, each a one-dimensional dataset.
template <typename Reader>
nb::object read_pairs(Reader &reader, const typename Reader::Object &group,
                      const std::string &path, const std::string &file) {
    nb::object columns[2];
    const char *names[2] = {"src", "dst"};
    for (int i = 0; i < 2; ++i) {
        std::string member_path = child_path(path, names[i]);
        auto member = reader.member(group, names[i]);
        require_hard(member.link, member_path, file);
        auto dataset = reader.open(group, member);
        if (reader.kind(dataset) != ObjectKind::Dataset)
            refuse(member_path, "is not a dataset", file);
        columns[i] = read_dataset(reader, dataset, member_path, file, true);
    }
    return pair_list(columns[0].ptr(), columns[1].ptr());
}

// Refuses a group whose links cannot be looked up safely; called before any
// link of the group is touched. A Reader offers
//   std::optional<std::string> group_problem(const Object &group);
template <typename Reader>
void require_sound_group(Reader &reader, const typename Reader::Object &group, const std::string &path,
                         const std::string &file) {
    if (std::optional<std::string> problem = reader.group_problem(group))
        refuse(path, *problem, file);
}

// Walks `root` (at HDF5 path `root_path`) into a new dictionary with an
// explicit stack: groups become dictionaries, and each dataset the value that
// `dataset_value(object, path)` gives. Members come in ascending byte order of
// their names; with `pair_groups`, a group with both src and dst is read as a
// pair group; named datatypes are skipped. Besides the members() and open()
// of a Reader this uses
//   Member member(const Object &group, const char *name);
//   bool has_link(const Object &group, const char *name);
//   ObjectKind kind(const Object &);
//   bool first_visit(const Member &, const Object &group);
template <typename Reader, typename DatasetValue>
nb::object walk_tree(Reader &reader, typename Reader::Object root, const std::string &root_path,
                     const std::string &file, bool pair_groups, DatasetValue &&dataset_value) {
    using Object = typename Reader::Object;
    require_sound_group(reader, root, root_path, file);
    struct Frame {
        Object group;
        nb::object dict;
        std::string path;
    };
    nb::object result = py::steal(PyDict_New());
    std::vector<Frame> stack;
    stack.push_back({std::move(root), result, root_path});
    while (!stack.empty()) {
        Frame frame = std::move(stack.back());
        stack.pop_back();
        for (const auto &member : reader.members(frame.group)) {
            std::string path = child_path(frame.path, member.name);
            require_hard(member.link, path, file);
            Object object = reader.open(frame.group, member);
            nb::object value;
            switch (reader.kind(object)) {
                case ObjectKind::Group:
                    if (!reader.first_visit(member, object))
                        refuse(path, "links to a group that was already read", file);
                    require_sound_group(reader, object, path, file);
                    if (pair_groups && reader.has_link(object, "src") && reader.has_link(object, "dst")) {
                        value = read_pairs(reader, object, path, file);
                    } else {
                        value = py::steal(PyDict_New());
                        stack.push_back({std::move(object), value, std::move(path)});
                    }
                    break;
                case ObjectKind::Dataset: value = dataset_value(object, path); break;
                case ObjectKind::Other: continue;
            }
            if (PyDict_SetItem(frame.dict.ptr(), key_of(member.name).ptr(), value.ptr()) != 0)
                py::throw_error();
        }
    }
    return result;
}

// Reads `root` into a new dictionary: every dataset read whole, pair groups
// as lists of pairs.
template <typename Reader>
nb::object read_tree(Reader &reader, typename Reader::Object root, const std::string &root_path,
                     const std::string &file) {
    return walk_tree(reader, std::move(root), root_path, file, true,
                     [&](const typename Reader::Object &dataset, const std::string &path) {
                         return dictionary_value(read_dataset(reader, dataset, path, file, false));
                     });
}

}  // namespace zor::format
