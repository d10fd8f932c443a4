#include "core/nodes/nodes.hpp"

namespace zor::nodes {

using py::steal;

namespace {

nb::object import_attr(const char *module, const char *attribute) {
    nb::object imported = steal(PyImport_ImportModule(module));
    if (!attribute)
        return imported;
    return steal(PyObject_GetAttrString(imported.ptr(), attribute));
}

nb::object text_object(const char *text) { return steal(PyUnicode_FromString(text)); }

// A method entry that lives as long as the class that holds it.
PyMethodDef *method_def(const char *name, PyCFunction function, int flags, const char *doc) {
    return new PyMethodDef{name, function, flags, doc};
}

void install(PyObject *cls, PyMethodDef *def, bool class_method) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    nb::object descriptor =
        steal(class_method ? PyDescr_NewClassMethod(type, def) : PyDescr_NewMethod(type, def));
    py::set_attr(cls, steal(PyUnicode_InternFromString(def->ml_name)).ptr(), descriptor.ptr());
}

}  // namespace

nb::object Default::make() const {
    switch (kind) {
        case None: return nb::none();
        case Int: return steal(PyLong_FromLongLong(first));
        case Float: return steal(PyFloat_FromDouble(real));
        case Bool: return nb::borrow(first ? Py_True : Py_False);
        case Text: return text_object(text);
        case IntPair: return steal(Py_BuildValue("(LL)", first, second));
        case NewDict: {
            nb::object field = import_attr("dataclasses", "field");
            nb::object kwargs = steal(Py_BuildValue("{sO}", "default_factory", &PyDict_Type));
            nb::object args = steal(PyTuple_New(0));
            return steal(PyObject_Call(field.ptr(), args.ptr(), kwargs.ptr()));
        }
        case Required: break;
    }
    py::raise(PyExc_SystemError, "a required field has no default object");
}

PyObject *single_argument(const char *function, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && nkw == 0)
        return args[0];
    if (nargs == 0 && nkw == 1 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "data") == 0)
        return args[0];
    if (nargs + nkw != 1)
        py::raise(PyExc_TypeError, py::join({function, "() takes exactly one argument (",
                                             std::to_string(nargs + nkw), " given)"}));
    py::raise(PyExc_TypeError,
              py::join({function, "() got an unexpected keyword argument '",
                        py::str(PyTuple_GET_ITEM(kwnames, 0)), "'"}));
}

nb::object define_class(nb::module_ &module, const ClassDef &def) {
    nb::object node = import_attr("zor.ir.node", "Node");
    nb::object dataclass = import_attr("dataclasses", "dataclass");

    nb::object ns = steal(PyDict_New());
    nb::object annotations = steal(PyDict_New());
    auto put = [](PyObject *dict, const char *key, PyObject *value) {
        if (PyDict_SetItemString(dict, key, value) != 0)
            py::throw_error();
    };
    put(ns.ptr(), "__module__", nb::object(module.attr("__name__")).ptr());
    put(ns.ptr(), "__qualname__", text_object(def.name).ptr());
    put(ns.ptr(), "__doc__", text_object(def.doc).ptr());
    for (const Field &field : def.fields) {
        put(annotations.ptr(), field.name, text_object(field.annotation).ptr());
        if (field.value.kind != Default::Required)
            put(ns.ptr(), field.name, field.value.make().ptr());
    }
    put(ns.ptr(), "__annotations__", annotations.ptr());

    nb::object bases = steal(PyTuple_Pack(1, node.ptr()));
    nb::object cls = steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PyType_Type), text_object(def.name).ptr(), bases.ptr(),
        ns.ptr(), nullptr));

    // The hooks must exist before dataclass() looks for __post_init__.
    install(cls.ptr(), method_def("__post_init__", def.post_init, METH_NOARGS, def.post_init_doc), false);
    if (def.to_dict)
        install(cls.ptr(), method_def("to_dict", def.to_dict, METH_NOARGS,
                                      "to_dict($self, /)\n--\n\nConvert to dictionary."),
                false);
    if (def.from_dict)
        install(cls.ptr(),
                method_def("from_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(def.from_dict)),
                           METH_FASTCALL | METH_KEYWORDS,
                           "from_dict($cls, data)\n--\n\nCreate from dictionary."),
                true);

    nb::object kwargs = steal(Py_BuildValue("{sO}", "eq", Py_False));
    nb::object args = steal(PyTuple_New(0));
    nb::object decorator = steal(PyObject_Call(dataclass.ptr(), args.ptr(), kwargs.ptr()));
    nb::object result = steal(PyObject_CallOneArg(decorator.ptr(), cls.ptr()));
    module.attr(def.name) = result;
    return result;
}

namespace {

struct Import {
    const char *name;
    const char *module;
    const char *attribute;  // nullptr: the module itself
};

constexpr Import kImports[] = {
    {"dataclass", "dataclasses", "dataclass"},
    {"field", "dataclasses", "field"},
    {"Enum", "enum", "Enum"},
    {"pathlib", "pathlib", nullptr},
    {"Any", "typing", "Any"},
    {"Dict", "typing", "Dict"},
    {"Literal", "typing", "Literal"},
    {"Optional", "typing", "Optional"},
    {"Tuple", "typing", "Tuple"},
    {"Union", "typing", "Union"},
    {"np", "numpy", nullptr},
    {"h5py", "h5py", nullptr},
    {"Node", "zor.ir.node", "Node"},
    {"Shape", "zor.ir.types", "Shape"},
    {"Graph", "zor.ir.graph", "Graph"},
    {"conv2d_output_shape", "zor.ir.utils", "conv2d_output_shape"},
    {"pool2d_output_shape", "zor.ir.utils", "pool2d_output_shape"},
    {"flatten_output_size", "zor.ir.utils", "flatten_output_size"},
};

}  // namespace

void bind_imports(nb::module_ &module, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        const Import *entry = nullptr;
        for (const Import &candidate : kImports)
            if (std::string_view(candidate.name) == name)
                entry = &candidate;
        if (!entry)
            py::raise(PyExc_SystemError, py::join({"no import is known for ", name}));
        module.attr(name) = import_attr(entry->module, entry->attribute);
    }
}

void open_module(nb::module_ &module, const char *doc, std::initializer_list<const char *> imports) {
    py::init(module);
    module.doc() = doc;
    bind_imports(module, imports);
}

nb::object define_str_enum(nb::module_ &module, const char *name, const char *doc,
                           std::initializer_list<std::pair<const char *, const char *>> members) {
    nb::object enum_type = import_attr("enum", "Enum");
    nb::object pairs = steal(PyList_New(0));
    for (const auto &[member, value] : members)
        if (PyList_Append(pairs.ptr(), steal(Py_BuildValue("(ss)", member, value)).ptr()) != 0)
            py::throw_error();
    nb::object kwargs = steal(Py_BuildValue("{sOsOsO}", "type", &PyUnicode_Type, "module",
                                            nb::object(module.attr("__name__")).ptr(), "qualname",
                                            text_object(name).ptr()));
    nb::object args = steal(PyTuple_Pack(2, text_object(name).ptr(), pairs.ptr()));
    nb::object result = steal(PyObject_Call(enum_type.ptr(), args.ptr(), kwargs.ptr()));
    result.attr("__doc__") = text_object(doc);
    module.attr(name) = result;
    return result;
}

nb::object define_literal(nb::module_ &module, const char *name,
                          std::initializer_list<const char *> values) {
    nb::object literal = import_attr("typing", "Literal");
    nb::object items = steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t index = 0;
    for (const char *value : values)
        PyTuple_SET_ITEM(items.ptr(), index++, text_object(value).release().ptr());
    nb::object result = steal(PyObject_GetItem(literal.ptr(), items.ptr()));
    module.attr(name) = result;
    return result;
}

}  // namespace zor::nodes
