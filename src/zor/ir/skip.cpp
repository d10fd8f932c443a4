// zor.ir.skip: the connection node Skip.
#include "core/nodes/layers.hpp"
#include "core/nodes/nodes.hpp"
#include "core/nodes/numpy.hpp"

namespace {

namespace nb = nanobind;
namespace py = zor::py;
namespace layers = zor::layers;
namespace nodes = zor::nodes;
using py::steal;

struct Names {
    PyObject *skip_type;
    PyObject *valid_types;  // SkipType's values, in order
};
const Names *names = nullptr;

// input.copy(), straight from NumPy for an exact array.
nb::object copy_of(PyObject *input) {
    if (PyArray_CheckExact(input))
        return steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject *>(input), NPY_CORDER));
    return steal(PyObject_CallMethodNoArgs(input, py::names().copy));
}

void skip_hook(PyObject *self) {
    nb::object skip_type = py::attr(self, names->skip_type);
    int valid = PySequence_Contains(names->valid_types, skip_type.ptr());
    if (valid < 0)
        py::throw_error();
    if (!valid)
        py::raise(PyExc_ValueError, py::join({"skip_type must be one of ", py::str(names->valid_types),
                                              ", got '", py::str(skip_type.ptr()), "'"}));

    nb::object input_type = layers::pending_input(self);
    if (!input_type)
        return;
    // Every kind of join keeps the shape; the output holds its own array.
    nb::object input = py::input_entry(input_type.ptr(), "Skip node", false);
    layers::set_output(self, copy_of(input.ptr()));
}

const char *const kModuleDoc = R"(Skip/residual connection primitives.

Nodes that join the paths of multi-path architectures.

Skip: Skip/residual connection for multi-path architectures.

Adding a connection node type:
    1. Declare a record class derived from Node with @dataclass(eq=False),
       holding its connection type and any merge parameters.
    2. Write __post_init__ to compute the output shape.
    3. Register the class in _NODE_REGISTRY (zor/ir/__init__.py).

Example:
    @dataclass(eq=False)
    class Add(Node):
        input_type: Optional[Shape] = None
        output_type: Optional[Shape] = None

        def __post_init__(self):
            if self.input_type is not None and self.output_type is None:
                self.output_type = {"output": self.input_type["input"].copy()}
)";

const char *const kSkipDoc = R"(Skip/residual connection for multi-path architectures.

Marks where a side path meets the main path, and how:

    "residual", "add": element-wise addition of the paths
    "concatenate", "concat": concatenation along the channel dimension
    "passthrough", "identity": identity bypass

The two names of a kind are kept as given. The output shape is a copy of the
input shape for every kind.

Args:
    skip_type: Connection kind, one of the six names above.
    input_type: Input port shapes.
    output_type: Output port shapes; a copy of the input shape when None and
        input_type is given.
    metadata: Free-form annotations.

Raises:
    ValueError: skip_type is not one of the six names, or input_type has no
        "input" entry.

Example:
    >>> from zor.ir import Skip
    >>> skip = Skip(skip_type="residual", input_type={"input": np.array([128])})
    >>> skip.output_type
    {'output': array([128])}
)";

}  // namespace

NB_MODULE(skip, m) {
    nodes::open_module(m, kModuleDoc, {"dataclass", "field", "Any", "Dict", "Literal", "Optional", "np", "Node", "Shape"});

    nb::object skip_type = nodes::define_literal(
        m, "SkipType", {"residual", "concatenate", "passthrough", "add", "concat", "identity"});
    py::create_once(names, [&] {
        return Names{py::intern("skip_type"),
                     py::attr(skip_type.ptr(), py::intern("__args__")).release().ptr()};
    });

    nodes::define_class(m, {"Skip", kSkipDoc,
                            {{"skip_type", "SkipType", nodes::text("residual")},
                             nodes::input_type_field, nodes::output_type_field,
                             nodes::metadata_field},
                            nodes::hook<skip_hook>});
}
