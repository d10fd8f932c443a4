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
//   kind      NumPy              HDF5 (as h5py writes it)
//   Bool      bool               enum {FALSE = 0, TRUE = 1} over int8
//   Int       i1 i2 i4 i8        STD_I8 .. STD_I64, either byte order
//   Uint      u1 u2 u4 u8        STD_U8 .. STD_U64, either byte order
//   Float     f2 f4 f8           IEEE half (h5py's layout), IEEE_F32, IEEE_F64
//   Complex   c8 c16             compound {r, i} of two F32 or two F64
//   Bytes     S<n>               fixed-length string of n bytes, NUL-padded
//   Text      object (strs)      variable-length string, UTF-8
//
// and the types only read (no value the writer stores has one), as h5py
// reads them:
//   Enum      its base integer   enumeration other than the boolean: the values
//   Bitfield  u1 u2 u4 u8        bitfield, either byte order
//   Opaque    V<n>               opaque of n bytes, any tag
//   Compound  structured         compound other than a complex number: the
//                                members' names, offsets and types, its size
//   Array     subarray           fixed-size array, as a member of a compound
//   Sequence  object (arrays)    variable-length sequence of numbers (Bool to
//                                Complex): 1-D arrays of their native dtype
struct Element {
    enum Kind : std::uint8_t {
        Bool, Int, Uint, Float, Complex, Bytes, Text,  // written and read
        Enum, Bitfield, Opaque, Compound, Array, Sequence,  // read only
    };
    Kind kind;
    std::uint32_t size = 0;   // bytes per element (both parts for Complex); 0 for Text and Sequence
    bool big_endian = false;  // numbers, enumerations, bitfields
    bool utf8 = true;         // strings: the character set
    bool is_signed = false;   // Enum: its base integer's sign

    // Bool to Complex: what read(mmap=True) maps and write(compression=...) filters.
    bool number() const { return kind <= Complex; }
    // Read as object arrays, their data in the file's global heap.
    bool variable_length() const { return kind == Text || kind == Sequence; }

    // Identifies the element type, for caches.
    std::uint64_t key() const {
        return (std::uint64_t(kind) << 40) | (std::uint64_t(size) << 8) | (std::uint64_t(is_signed) << 2) |
               (std::uint64_t(big_endian) << 1) | std::uint64_t(utf8);
    }
};

// The element type of a NumPy dtype, if a file can hold it (an object dtype
// maps to Text; its elements are checked separately).
std::optional<Element> element_of(PyObject *descr);

// A new NumPy dtype (PyArray_Descr) for an element type read from a file
// (object for Text and Sequence); not for Compound and Array, whose dtypes
// read_dtype() builds from the datatype.
nb::object dtype_of(const Element &element);

// dtype((base, dims)) and dtype({"names", "formats", "offsets", "itemsize"}).
nb::object subarray_dtype(const nb::object &base, const std::vector<hsize_t> &dims);
nb::object structured_dtype(const std::vector<std::string> &names, const std::vector<nb::object> &formats,
                            const std::vector<std::size_t> &offsets, std::size_t itemsize);

// Whether `text` is UTF-8 (h5py decodes member names as UTF-8).
bool is_utf8(const std::string &text);

// Sorts an HDF5 datatype into the element table. `View` answers questions
// about one datatype (native: an hid_t; h5py: a TypeID object), so both
// walks accept and refuse exactly the same types.
struct Classified {
    std::optional<Element> element;
    std::string unsupported = {};  // what the type is, when it is not supported
};

// Where a datatype is met: as a dataset's type, inside a compound (as a
// member or an array's items), or as the items of a variable-length sequence.
enum class Within : std::uint8_t { Dataset, Compound, Sequence };

// Compounds and arrays nested deeper than this are refused.
constexpr int kDeepestNesting = 32;

template <typename View>
Classified classify(const View &type, Within within = Within::Dataset, int depth = 0);

// HDF5 itself refuses compounds without members, with overlapping members,
// members outside them or two members of one name when it opens a dataset.
template <typename View>
Classified classify_compound(const View &type, int depth) {
    auto refuse = [](std::string what) { return Classified{std::nullopt, std::move(what)}; };
    for (int i = 0; i < type.member_count(); ++i) {
        std::string name = type.member_name(i);
        if (!is_utf8(name))
            return refuse("compound member name that is not UTF-8");
        auto member = type.member(i);
        Classified kind = classify(member, Within::Compound, depth + 1);
        if (!kind.element) {  // a member of a member is named by the path of names: 'outer.inner'
            const std::string nested = "compound member '";
            if (kind.unsupported.rfind(nested, 0) == 0)
                return refuse(nested + name + "." + kind.unsupported.substr(nested.size()));
            return refuse(nested + name + "': " + kind.unsupported);
        }
    }
    return {Element{Element::Compound, std::uint32_t(type.size())}};
}

template <typename View>
Classified classify(const View &type, Within within, int depth) {
    auto refuse = [](std::string what) { return Classified{std::nullopt, std::move(what)}; };
    const std::size_t size = type.size();
    const bool in_dataset = within == Within::Dataset, in_compound = within == Within::Compound;
    if (size > std::size_t(INT32_MAX))  // NumPy's limit for an item
        return refuse(std::to_string(size) + "-byte type");
    if (depth > kDeepestNesting)
        return refuse("types nested more than " + std::to_string(kDeepestNesting) + " deep");
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
            if (type.variable_string()) {
                if (!in_dataset)
                    return refuse("variable-length string");
                return {Element{Element::Text, 0, false, type.utf8()}};
            }
            if (within == Within::Sequence)
                return refuse("string");
            return {Element{Element::Bytes, std::uint32_t(size), false, type.utf8()}};
        case H5T_ENUM: {
            // h5py's boolean: exactly the members FALSE = 0 and TRUE = 1.
            if (type.member_count() == 2) {
                bool false_first = type.member_name(0) == "FALSE";
                auto [f, t] = false_first ? std::pair{0, 1} : std::pair{1, 0};
                if (type.member_name(f) == "FALSE" && type.member_name(t) == "TRUE" &&
                    type.enum_value(f) == 0 && type.enum_value(t) == 1)
                    return {Element{Element::Bool, 1}};
            }
            if (within == Within::Sequence)
                return refuse("enumeration other than FALSE/TRUE");
            auto base = type.super_type();
            if (base.type_class() != H5T_INTEGER || (size != 1 && size != 2 && size != 4 && size != 8))
                return refuse(std::to_string(size) + "-byte enumeration");
            Element element{Element::Enum, std::uint32_t(size), base.big_endian()};
            element.is_signed = base.is_signed();
            return {element};
        }
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
            if (within == Within::Sequence)
                return refuse("compound other than a complex number (r, i)");
            return classify_compound(type, depth);
        case H5T_BITFIELD:
            if (within == Within::Sequence)
                return refuse("bitfield");
            if (size != 1 && size != 2 && size != 4 && size != 8)
                return refuse(std::to_string(size) + "-byte bitfield");
            return {Element{Element::Bitfield, std::uint32_t(size), type.big_endian()}};
        case H5T_OPAQUE:
            // Inside a compound h5py reads only opaque types of its own tag.
            if (!in_dataset)
                return refuse("opaque");
            return {Element{Element::Opaque, std::uint32_t(size)}};
        case H5T_VLEN: {
            if (!in_dataset)
                return refuse("variable-length sequence");
            Classified item = classify(type.super_type(), Within::Sequence, depth + 1);
            if (!item.element || !item.element->number())
                return refuse("variable-length sequence of other than numbers");
            return {Element{Element::Sequence}};
        }
        case H5T_ARRAY: {
            if (!in_compound)
                return refuse("array");
            Classified item = classify(type.super_type(), Within::Compound, depth + 1);
            if (!item.element)
                return refuse("array of " + item.unsupported);
            return {Element{Element::Array, std::uint32_t(size)}};
        }
        case H5T_TIME: return refuse("time");
        case H5T_REFERENCE: return refuse("reference");
        default: return refuse("unknown class");
    }
}

// The NumPy dtype of what a dataset of `type` reads as (h5py's), for a type
// that classify() sorts as `element`.
template <typename View>
nb::object read_dtype(const View &type, const Element &element) {
    switch (element.kind) {
        case Element::Compound: {
            const int count = type.member_count();
            std::vector<std::string> names;
            std::vector<nb::object> formats;
            std::vector<std::size_t> offsets;
            for (int i = 0; i < count; ++i) {
                auto member = type.member(i);
                names.push_back(type.member_name(i));
                formats.push_back(read_dtype(member, *classify(member, Within::Compound).element));
                offsets.push_back(type.member_offset(i));
            }
            return structured_dtype(names, formats, offsets, type.size());
        }
        case Element::Array: {
            auto item = type.super_type();
            return subarray_dtype(read_dtype(item, *classify(item, Within::Compound).element), type.array_dims());
        }
        default: return dtype_of(element);
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
// (first: only then are its properties read), keeps its data in this file,
// and that its data is sound. A Reader offers
//   TypeView type_of(const Object &);
//   Storage storage(const Object &, const Element &);  Shape shape(const Object &);
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
// pair group; named datatypes are skipped. A group reached by several hard
// links is read at each; only a link to a group that contains it (a loop) is
// refused. Besides the members() and open() of a Reader this uses
//   Member member(const Object &group, const char *name);
//   bool has_link(const Object &group, const char *name);
//   ObjectKind kind(const Object &);
//   Identity identity(const Object &group);  // equal for the same group of the file
//   bool reading(const Identity &);  // whether the group is among those entered
//   void enter(const Identity &);  void leave(const Identity &);
template <typename Reader, typename DatasetValue>
nb::object walk_tree(Reader &reader, typename Reader::Object root, const std::string &root_path,
                     const std::string &file, bool pair_groups, DatasetValue &&dataset_value) {
    using Object = typename Reader::Object;
    using Identity = typename Reader::Identity;
    require_sound_group(reader, root, root_path, file);
    struct Frame {
        Object group;
        nb::object dict;
        std::string path;
        std::size_t depth;  // of the group below the root
        Identity identity;
    };
    nb::object result = py::steal(PyDict_New());
    std::vector<Frame> stack;
    Identity root_identity = reader.identity(root);
    stack.push_back({std::move(root), result, root_path, 0, std::move(root_identity)});
    // The groups from the root to the one being read. The stack is depth
    // first: a frame's ancestors are exactly the first `depth` groups here.
    std::vector<Identity> open;
    while (!stack.empty()) {
        Frame frame = std::move(stack.back());
        stack.pop_back();
        for (; open.size() > frame.depth; open.pop_back())
            reader.leave(open.back());
        reader.enter(frame.identity);
        open.push_back(std::move(frame.identity));
        for (const auto &member : reader.members(frame.group)) {
            std::string path = child_path(frame.path, member.name);
            require_hard(member.link, path, file);
            Object object = reader.open(frame.group, member);
            nb::object value;
            switch (reader.kind(object)) {
                case ObjectKind::Group: {
                    Identity identity = reader.identity(object);
                    if (reader.reading(identity))
                        refuse(path, "links to a group that contains it", file);
                    require_sound_group(reader, object, path, file);
                    if (pair_groups && reader.has_link(object, "src") && reader.has_link(object, "dst")) {
                        value = read_pairs(reader, object, path, file);
                    } else {
                        value = py::steal(PyDict_New());
                        stack.push_back({std::move(object), value, std::move(path), frame.depth + 1,
                                         std::move(identity)});
                    }
                    break;
                }
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
