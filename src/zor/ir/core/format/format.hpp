// The ZOR-IR file format, written once and shared by both walks: the native
// one on the HDF5 C library and the one through h5py's Python API.
//
// Writing: plan_tree() turns a dictionary into a Plan, deciding every
// entry's value kind and checking every key and text before anything is
// written; write_plan() then drives a writer backend through the Plan.
// Reading: read_tree() walks a group through a reader backend, refuses what
// a ZOR-IR file never holds, and converts every value as h5py would.
#pragma once

#include "core/format/elements.hpp"
#include "core/format/plan.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zor::format {

namespace nb = nanobind;

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

// The bytes of an array of `dims` of elements of `element_size` bytes;
// nothing when the count passes `most` on the way (a hostile extent), so
// that an extent of 0 after it does not make it countable.
inline std::optional<std::uint64_t> bytes_of(const std::vector<hsize_t> &dims, std::uint64_t element_size,
                                             std::uint64_t most = UINT64_MAX) {
    std::uint64_t bytes = element_size;
    for (hsize_t dim : dims)
        if (__builtin_mul_overflow(bytes, std::uint64_t(dim), &bytes) || bytes > most)
            return std::nullopt;
    return bytes;
}

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
// pair group; named datatypes are skipped. A group reached by several hard
// links is read at each; only a link to a group that contains it (a loop) is
// refused. Besides the members() and open() of a Reader this uses
//   Member member(const Object &group, const char *name);
//   bool has_link(const Object &group, const char *name);
//   ObjectKind kind(const Object &);
//   Identity identity(const Object &group);  // equal for the same group of the file
//   bool reading(const Identity &);  // whether the group is among those entered
//   std::uint64_t file_size(const Object &root);
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
    // A group reached by several links is read at each, so links that share
    // groups could make a small file stand for exponentially many members:
    // a walk reads at most as many as the file could hold.
    const std::uint64_t budget = std::max<std::uint64_t>(std::uint64_t(1) << 18, reader.file_size(root) / 4);
    std::uint64_t members_read = 0;
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
            if (++members_read > budget)
                refuse(path, "is reached after more members than the file can hold (" + std::to_string(budget) +
                                 "): its groups are linked too often", file);
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
