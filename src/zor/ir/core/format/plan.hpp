// Writing the file format: plan_tree() turns a dictionary into a Plan,
// deciding every entry's value kind and checking every key and text before
// anything is written; write_plan() then drives a writer backend through it.
#pragma once

#include "core/format/elements.hpp"

namespace zor::format {

// The HDF5 path of member `name` of the group at `parent`.
inline std::string child_path(const std::string &parent, const std::string &name) {
    return parent == "/" ? "/" + name : parent + "/" + name;
}

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

}  // namespace zor::format
