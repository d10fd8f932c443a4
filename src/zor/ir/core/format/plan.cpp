#include "core/format/plan.hpp"
#include "core/nodes/numpy.hpp"

#include <algorithm>
#include <cstring>

namespace zor::format {

namespace {

struct Names {
    PyObject *src, *dst, *tolist;
};
const Names *names_cache = nullptr;

const Names &names() {
    return py::create_once(names_cache, [] { return Names{py::intern("src"), py::intern("dst"), py::intern("tolist")}; });
}

}  // namespace

PyObject *src_name() { return names().src; }
PyObject *dst_name() { return names().dst; }

// ---------------------------------------------------------------- writing

std::string Plan::path_of(std::uint32_t group) const {
    std::vector<std::uint32_t> chain;
    for (std::uint32_t at = group; at != 0; at = groups[at].parent)
        chain.push_back(at);
    std::string path = root_path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path = child_path(path, py::str(groups[*it].key.ptr()));
    return path;
}

namespace {

class Planner {
public:
    Planner(PyObject *data, std::string root_path) {
        plan_.root_path = std::move(root_path);
        plan_.groups.push_back({0, nb::none()});
        stack_.push_back({0, nb::borrow(data)});
    }

    Plan run() {
        while (!stack_.empty()) {
            auto [group, dict] = std::move(stack_.back());
            stack_.pop_back();
            const Py_ssize_t size = PyDict_GET_SIZE(dict.ptr());
            Py_ssize_t position = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
                // Own both before anything runs that could change the dict.
                nb::object owned_key = nb::borrow(key), owned_value = nb::borrow(value);
                check_key(group, owned_key.ptr());
                add(group, std::move(owned_key), owned_value.ptr());
                if (PyDict_GET_SIZE(dict.ptr()) != size)
                    py::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
        }
        return std::move(plan_);
    }

private:
    // Keys become HDF5 link names verbatim; these would not survive.
    void check_key(std::uint32_t group, PyObject *key) {
        const char *problem = "keys must be non-empty text other than '.', without '/' or NUL characters";
        if (PyUnicode_Check(key)) {
            Py_ssize_t length = 0;
            const char *text = PyUnicode_AsUTF8AndSize(key, &length);
            if (text) {
                std::string_view name(text, length);
                if (!name.empty() && name != "." && name.find('/') == name.npos &&
                    name.find('\0') == name.npos)
                    return;
            } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                PyErr_Clear();  // a lone surrogate
                problem = "not encodable as UTF-8";
            } else {
                py::throw_error();
            }
        }
        py::raise(PyExc_ValueError,
                  py::join({"Invalid key ", repr(key), " in '", plan_.path_of(group), "': ", problem}));
    }

    // The value kinds, first match wins.
    void add(std::uint32_t group, nb::object key, PyObject *value) {
        if (value == Py_None)
            return;
        if (PyUnicode_Check(value))
            return add_text(group, std::move(key), nb::borrow(value));
        if (PyArray_Check(value))
            return add_array(group, std::move(key), nb::borrow(value));
        // A NumPy scalar is stored like a zero-dimensional array of its type,
        // so that a value read back (always a NumPy scalar) re-saves as itself.
        if (PyArray_IsScalar(value, Generic)) {
            nb::object descr = py::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromScalar(value)));
            if (element_of(descr.ptr()))
                return add_array(group, std::move(key), py::steal(PyArray_FromScalar(value, nullptr)));
        }
        if (PyDict_Check(value)) {
            auto child = static_cast<std::uint32_t>(plan_.groups.size());
            plan_.groups.push_back({group, key});
            stack_.push_back({child, nb::borrow(value)});
            Entry &entry = push(Store::Group, group, std::move(key));
            entry.child = child;
            return;
        }
        if (PyList_Check(value)) {
            Py_ssize_t length = PyList_GET_SIZE(value);
            PyObject *first = length ? PyList_GET_ITEM(value, 0) : nullptr;
            if (!first || PyTuple_Check(first))
                return add_pairs(group, std::move(key), value);
            if (PyUnicode_Check(first))
                return add_texts(group, std::move(key), nb::borrow(value));
            return add_array(group, std::move(key), py::array(value), "list");
        }
        if (PyTuple_Check(value)) {
            if (PyTuple_GET_SIZE(value) > 0 && PyUnicode_Check(PyTuple_GET_ITEM(value, 0)))
                return add_texts(group, std::move(key), py::steal(PySequence_List(value)));
            return add_array(group, std::move(key), py::array(value), "tuple");
        }
        if (PyBool_Check(value)) {
            push(Store::Boolean, group, std::move(key)).integer = value == Py_True;
            return;
        }
        if (PyLong_Check(value)) {
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (number == -1 && PyErr_Occurred())
                py::throw_error();
            if (!overflow) {
                push(Store::Integer, group, std::move(key)).integer = number;
                return;
            }
            // Beyond int64, as h5py stores it (np.array(value)): uint64 up to 2**64 - 1.
            if (overflow > 0) {
                unsigned long long natural = PyLong_AsUnsignedLongLong(value);
                if (!(natural == ~0ull && PyErr_Occurred()))
                    return add_array(group, std::move(key), uint64_scalar(natural));
                if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                    py::throw_error();
                PyErr_Clear();
            }
            py::raise(PyExc_OverflowError, py::join({"Cannot store '", entry_path(group, key.ptr()),
                                                     "': integer does not fit in 64 bits (from -2**63 to 2**64-1)"}));
        }
        if (PyFloat_Check(value)) {
            push(Store::Real, group, std::move(key)).real = PyFloat_AS_DOUBLE(value);
            return;
        }
        add_text(group, std::move(key), py::steal(PyObject_Str(value)));
    }

    void add_text(std::uint32_t group, nb::object key, nb::object text) {
        check_text(text.ptr(), -1, [&] { return entry_path(group, key.ptr()); });
        push(Store::Text, group, std::move(key), std::move(text));
    }

    // `made_from` names the Python sequence np.array made the array of; an
    // object array of one is never texts (a list of texts is stored as such).
    void add_array(std::uint32_t group, nb::object key, nb::object array, const char *made_from = nullptr) {
        auto *descr = reinterpret_cast<PyObject *>(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(array.ptr())));
        std::optional<Element> element = element_of(descr);
        if (!element || (made_from && element->kind == Element::Text))
            py::raise(PyExc_TypeError, py::join({"Cannot store '", entry_path(group, key.ptr()), "': no file type for ",
                                                 repr(descr), made_from ? ", which np.array gives for this " : "",
                                                 made_from ? made_from : ""}));
        if (element->kind == Element::Text) {
            // An object array of texts (as read from a file) is stored as
            // the variable-length strings it came from.
            nb::object items = py::steal(PyObject_CallMethodNoArgs(
                py::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject *>(array.ptr()), NPY_CORDER)).ptr(),
                names().tolist));
            check_texts(items.ptr(), [&] { return entry_path(group, key.ptr()); });
            push(Store::Texts, group, std::move(key), std::move(array));
            return;
        }
        push(Store::Array, group, std::move(key), std::move(array)).element = *element;
    }

    void add_texts(std::uint32_t group, nb::object key, nb::object list) {
        check_texts(list.ptr(), [&] { return entry_path(group, key.ptr()); });
        push(Store::Texts, group, std::move(key), std::move(list));
    }

    // A list of pairs is transposed as zip(*value) would, and must give
    // exactly two sequences.
    void add_pairs(std::uint32_t group, nb::object key, PyObject *list) {
        const Py_ssize_t count = PyList_GET_SIZE(list);
        std::vector<nb::object> rows;
        rows.reserve(count);
        Py_ssize_t width = count ? PY_SSIZE_T_MAX : 2;
        for (Py_ssize_t i = 0; i < count; ++i) {
            rows.push_back(py::steal(PySequence_Tuple(PyList_GET_ITEM(list, i))));
            width = std::min(width, PyTuple_GET_SIZE(rows.back().ptr()));
        }
        if (width > 2)
            py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (width < 2) {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", width,
                         width == 1 ? "" : "s");
            py::throw_error();
        }
        nb::object columns[2] = {py::steal(PyList_New(count)), py::steal(PyList_New(count))};
        for (int column = 0; column < 2; ++column) {
            for (Py_ssize_t i = 0; i < count; ++i)
                PyList_SET_ITEM(columns[column].ptr(), i, Py_NewRef(PyTuple_GET_ITEM(rows[i].ptr(), column)));
            check_texts(columns[column].ptr(), [&] {
                return child_path(entry_path(group, key.ptr()), column ? "dst" : "src");
            });
        }
        Entry &entry = push(Store::Pairs, group, std::move(key), std::move(columns[0]));
        entry.second = std::move(columns[1]);
    }

    enum class TextProblem { None, NotText, Nul };

    // Strings are stored NUL-terminated: a NUL would cut them short.
    static TextProblem text_problem(PyObject *text) {
        const char *data;
        Py_ssize_t length;
        if (PyUnicode_Check(text)) {
            data = PyUnicode_AsUTF8AndSize(text, &length);
            if (!data)
                py::throw_error();
        } else if (PyBytes_Check(text)) {
            data = PyBytes_AS_STRING(text);
            length = PyBytes_GET_SIZE(text);
        } else {
            return TextProblem::NotText;
        }
        return std::memchr(data, '\0', length) ? TextProblem::Nul : TextProblem::None;
    }

    // `index` is the element's position in a list, or -1 for a single text;
    // `path()` names the entry, and is only worked out for a message.
    template <typename Path>
    static void check_text(PyObject *text, Py_ssize_t index, const Path &path) {
        TextProblem problem = text_problem(text);
        if (problem == TextProblem::None)
            return;
        std::string what = index < 0 ? "text" : "element " + std::to_string(index);
        if (problem == TextProblem::NotText)
            py::raise(PyExc_TypeError, py::join({"Cannot store '", path(), "': ", what, " is ",
                                                 Py_TYPE(text)->tp_name, ", not text"}));
        py::raise(PyExc_ValueError, py::join({"Cannot store '", path(), "': ", what, " contains a NUL character"}));
    }

    template <typename Path>
    static void check_texts(PyObject *list, const Path &path) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            check_text(PyList_GET_ITEM(list, i), i, path);
    }

    std::string entry_path(std::uint32_t group, PyObject *key) const {
        return child_path(plan_.path_of(group), py::str(key));
    }

    static nb::object uint64_scalar(unsigned long long value) {
        nb::object array = py::steal(PyArray_SimpleNew(0, nullptr, NPY_UINT64));
        *static_cast<npy_uint64 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr()))) = value;
        return array;
    }

    static std::string repr(PyObject *object) {
        return py::str(py::steal(PyObject_Repr(object)).ptr());
    }

    Entry &push(Store store, std::uint32_t group, nb::object key, nb::object value = {}) {
        Entry &entry = plan_.entries.emplace_back();
        entry.store = store;
        entry.group = group;
        entry.key = std::move(key);
        entry.value = std::move(value);
        return entry;
    }

    Plan plan_;
    std::vector<std::pair<std::uint32_t, nb::object>> stack_;
};

}  // namespace

Plan plan_tree(PyObject *data, std::string root_path) {
    return Planner(data, std::move(root_path)).run();
}

}  // namespace zor::format
