// Helpers shared by the layer node hooks (linear, conv, pooling, flatten,
// skip, upsample): the checks that open shape inference from a given input,
// and the small conversions several hooks make.
#pragma once

#include "core/nodes/python.hpp"

namespace zor::layers {

namespace nb = nanobind;

// The given input_type when the output shape is still to be derived from it
// (input_type set, output_type None); otherwise a null object.
nb::object pending_input(PyObject *self);

// A Python int; those from -5 to 256 are the interpreter's cached objects.
inline nb::object small_int(long value) { return py::steal(PyLong_FromLong(value)); }

// output_type = {"output": extents}.
void set_output(PyObject *self, const nb::object &extents);

// The "input" entry of a given input_type and its number of extents, after
// the checks that open every shape inference from an input, each message
// starting with `node`: the key must be present, the entry must not be None,
// and it must have at least one extent ("<node> requires input with at least
// 1 dimension", followed by ", got shape ()" when `print_shape`).
struct InputShape {
    nb::object extents;
    Py_ssize_t ndim;
};
InputShape input_shape(PyObject *input_type, const char *node, bool print_shape = true);

// np.zeros(count, dtype=np.float32).
nb::object float32_zeros(PyObject *count);

// Requires bias.ndim == 1 and then bias.shape[0] == count; otherwise raises
// "bias must be 1D with <count> elements", followed by ", got shape <shape>"
// when `print_shape`.
void require_bias(PyObject *bias, PyObject *count, bool print_shape);

// A module-level name that a hook looks up each time it runs, as a Python
// method body would, so that rebinding it in the module takes effect. The
// references it holds are created once per module and never released.
class GlobalName {
public:
    void bind(nb::module_ &module, const char *name);
    nb::object get() const;  // NameError, as in Python, when it is unbound

private:
    PyObject *namespace_ = nullptr;
    PyObject *name_ = nullptr;
};

}  // namespace zor::layers
