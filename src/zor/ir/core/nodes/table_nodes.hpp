// Node classes described by a row of a table: their fields, what the hook
// converts and checks, how the ports follow from a width field, and the
// dictionary form. One engine builds each class, its hook, to_dict and
// from_dict from its row, so a new class of this kind is one more row. A
// layer whose hook is its own (Conv1d, SumPool2d) takes the dictionary
// form alone from its row.
#pragma once

#include "core/nodes/nodes.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace zor::table_nodes {

namespace nb = nanobind;

// What the hook makes of a parameter before the ports are filled.
enum class Convert {
    None,
    Float32Array1d,  // np.atleast_1d(np.asarray(value, dtype=np.float32))
    ShapeTuple,      // list/array -> tuple of int(), int -> (int,), else unchanged
};

// How from_dict passes a stored value on to the constructor.
enum class Load {
    AsFound,
    Float32Array,  // np.asarray(value, dtype=np.float32)
    Tuple,         // the tuple itself, else the tuple of its elements
    Array,         // a NumPy scalar (a file's 0-d array) as np.asarray(value)
    Plain,         // a NumPy scalar as value.item(), an array or list as a tuple
                   // of Python values (value.tolist()), anything else as found
};

// When and how to_dict writes a parameter.
enum class Save {
    Always,
    AsList,          // always, as a new list of the elements
    UnlessDefault,   // only when value != default (an array against a tuple
                     // default as the tuple of its values)
    IfTruthy,        // only when the value is true by truth test
    FalseWhenFalsy,  // the boolean False, only when the value is false by truth test
};

struct Param {
    const char *name;
    const char *annotation;
    nodes::Default value;
    Save save = Save::Always;
    Convert convert = Convert::None;
    Load load = Load::AsFound;
};

// How the port arrays are made from the width field.
enum class Ports {
    OneElement,  // np.array([width])
    WholeShape,  // np.array(width)
    Population,  // every parameter has one shape ("All <Name> parameters must
                 // have same shape, got: ..." otherwise); np.array(shape), [1]
                 // for a 0-d shape
};

// The shape shared by every one of `values`, named by `params` in messages
// (NumPy arrays are compared by their dimensions, other objects by their
// `shape`); otherwise ValueError "All <node> parameters must have same
// shape, got: name=shape, ...". The result is a tuple for NumPy arrays and
// the first object's own `shape` otherwise.
nb::object same_shape(const char *node, const std::vector<const char *> &params,
                      const std::vector<nb::object> &values);

// A check the hook runs on one field after the conversions.
struct Check {
    const char *field = nullptr;
    void (*run)(PyObject *value) = nullptr;
};

// One class: its parameters come first; metadata, input_type and
// output_type follow them.
struct NodeClass {
    const char *name;
    std::string doc;
    std::vector<Param> params;
    const char *width;  // the field the ports are made from
    Ports ports = Ports::OneElement;
    Check check = {};
    void (*hook)(PyObject *self) = nullptr;  // replaces conversions, check and ports
};

// The Python objects of one row, made once per process and never released.
struct Runtime {
    PyObject *type_name;
    std::vector<PyObject *> names;     // interned parameter names
    std::vector<PyObject *> defaults;  // nullptr for required parameters
    PyObject *width;                   // nullptr for a row with its own hook
    PyObject *checked;                 // the field the row's check reads
    PyObject *keywords;                // (parameter names..., "metadata")
};

Runtime make_runtime(const NodeClass &row);
void run_hook(const NodeClass &row, const Runtime &runtime, PyObject *self);
nb::object to_dict(const NodeClass &row, const Runtime &runtime, PyObject *self);
nb::object from_dict(const NodeClass &row, const Runtime &runtime, PyObject *cls, PyObject *data);
void define_class(nb::module_ &module, const NodeClass &row, PyCFunction hook, PyCFunction to_dict,
                  PyCFunctionFastWithKeywords from_dict);

// Defines every class of the table `Rows` (an array of NodeClass) in a module.
template <const auto &Rows>
class Table {
public:
    static void define(nb::module_ &module) { define_rows(module, std::make_index_sequence<std::size(Rows)>{}); }

private:
    static const std::vector<Runtime> &runtimes() {
        return py::create_once(runtimes_, [] {
            std::vector<Runtime> made;
            for (const NodeClass &row : Rows)
                made.push_back(make_runtime(row));
            return made;
        });
    }

    template <std::size_t I>
    static void hook(PyObject *self) {
        run_hook(Rows[I], (*runtimes_)[I], self);
    }
    template <std::size_t I>
    static nb::object dict_of(PyObject *self) {
        return to_dict(Rows[I], (*runtimes_)[I], self);
    }
    template <std::size_t I>
    static nb::object node_of(PyObject *cls, PyObject *data) {
        return from_dict(Rows[I], (*runtimes_)[I], cls, data);
    }

    template <std::size_t... I>
    static void define_rows(nb::module_ &module, std::index_sequence<I...>) {
        runtimes();
        (define_class(module, Rows[I], nodes::hook<hook<I>>, nodes::getter<dict_of<I>>,
                      nodes::class_method<node_of<I>>),
         ...);
    }

    static inline const std::vector<Runtime> *runtimes_ = nullptr;
};

}  // namespace zor::table_nodes
