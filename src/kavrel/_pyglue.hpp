// Helpers shared by kavrel's extension modules. Header-only and inline only: every module is its
// own shared library, so each gets its own copy and nothing is linked between them.
//
// The modules behave like Python modules: names are looked up in the module's namespace when a
// call runs (so monkeypatching a module global changes what the code does), output goes through
// `print` and `logging`, and errors are Python exceptions.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace kavrel {
namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Module namespace

// The namespace (`__dict__`) of the extension module being built. Set once from PYBIND11_MODULE
// with `bind_module_globals(m)`; the module object keeps the dict alive for the process lifetime.
inline py::handle &module_dict_slot() {
    static py::handle dict;
    return dict;
}

inline void bind_module_globals(py::module_ &m) { module_dict_slot() = m.attr("__dict__"); }

// Raises `exc_type(message)` as a Python exception.
[[noreturn]] inline void raise(PyObject *exc_type, const py::handle &message) {
    PyErr_SetObject(exc_type, message.ptr());
    throw py::error_already_set();
}

[[noreturn]] inline void raise(PyObject *exc_type, const std::string &message) {
    raise(exc_type, py::str(message));
}

// Looks `name` up as Python's LOAD_GLOBAL does: the module namespace first, then builtins.
// Called at every use, never cached, so tests can patch `module.name`.
inline py::object g(const char *name) {
    PyObject *dict = module_dict_slot().ptr();
    PyObject *found = PyDict_GetItemString(dict, name); // borrowed
    if (found != nullptr)
        return py::reinterpret_borrow<py::object>(found);
    py::dict builtins = py::module_::import("builtins").attr("__dict__");
    if (builtins.contains(name))
        return builtins[name];
    raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
}

// Sets a module global, as `global name; name = value` would.
inline void set_global(const char *name, const py::handle &value) {
    if (PyDict_SetItemString(module_dict_slot().ptr(), name, value.ptr()) != 0)
        throw py::error_already_set();
}

// `from module import a, b, c`: an ImportError also when the module lacks one of the names.
inline py::object import_name(const py::module_ &module, const char *name) {
    if (py::hasattr(module, name))
        return module.attr(name);
    py::object module_name = module.attr("__name__");
    std::string message = std::string("cannot import name '") + name + "' from '" +
                          module_name.cast<std::string>() + "'";
    if (py::hasattr(module, "__file__") && !module.attr("__file__").is_none())
        message += " (" + py::str(module.attr("__file__")).cast<std::string>() + ")";
    py::object error = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
        message, py::arg("name") = module_name);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw py::error_already_set();
}

// `from package import name`, for a submodule or an attribute alike (the fromlist makes the
// import system load `package.name` when it is a submodule).
inline py::object from_import(const char *package, const char *name) {
    py::object fromlist = py::make_tuple(name);
    PyObject *module = PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0);
    if (module == nullptr)
        throw py::error_already_set();
    return import_name(py::reinterpret_steal<py::module_>(module), name);
}

// ---------------------------------------------------------------------------------------------
// Text, as Python would write it

// `str(value)`.
inline py::str text_of(const py::handle &value) { return py::str(value); }

// Concatenates the text forms of `pieces`, as `"".join(map(str, pieces))` would. Works on Python
// strings throughout, so any text (lone surrogates included) survives unchanged.
inline py::str cat(std::initializer_list<py::object> pieces) {
    py::list parts;
    for (const py::object &piece : pieces)
        parts.append(PyUnicode_Check(piece.ptr()) ? piece : py::str(piece));
    return py::reinterpret_steal<py::str>(PyUnicode_Join(py::str("").ptr(), parts.ptr()));
}

// `format(n, ",")`: digit groups separated by commas, exactly as Python writes them.
inline py::str grouped(const py::handle &n) { return py::str(g("format")(n, ",")); }

// `bool(value)`, with Python's errors propagated.
inline bool truthy(const py::handle &value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

// `a == b` with Python semantics.
inline bool py_equal(const py::handle &a, const py::handle &b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

// One line through the module's `print`, as the Python code's `print(line)`.
inline void print_line(const py::handle &line) { g("print")(line); }

// ---------------------------------------------------------------------------------------------
// Argument checks: the declared built-in type exactly, subclasses refused.

inline std::string type_name(const py::handle &value) {
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

[[noreturn]] inline void refuse_argument(const char *arg, const char *expected,
                                         const py::handle &value) {
    raise(PyExc_TypeError,
          std::string("argument '") + arg + "' must be " + expected + ", not " + type_name(value));
}

inline void require_str(const py::handle &value, const char *arg) {
    if (!PyUnicode_CheckExact(value.ptr()))
        refuse_argument(arg, "str", value);
}

inline void require_str_or_none(const py::handle &value, const char *arg) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr()))
        refuse_argument(arg, "str or None", value);
}

inline void require_dict(const py::handle &value, const char *arg) {
    if (!PyDict_CheckExact(value.ptr()))
        refuse_argument(arg, "dict", value);
}

// ---------------------------------------------------------------------------------------------
// Exceptions

// True for the ordinary error family (`except Exception`); KeyboardInterrupt, SystemExit and
// GeneratorExit are not in it and must be rethrown untouched.
inline bool is_ordinary_error(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// `str(exc)` and `type(exc).__name__` of a caught exception.
inline py::str error_text(const py::error_already_set &e) { return py::str(e.value()); }
inline py::str error_type_name(const py::error_already_set &e) {
    return py::str(e.type().attr("__name__"));
}

// Makes `e` the exception being handled for as long as the guard lives, as Python's `except`
// block does, so `sys.exc_info()` and `traceback.print_exc()` see it.
class HandlingException {
public:
    explicit HandlingException(const py::error_already_set &e) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_trace_);
        PyObject *trace = e.trace().ptr();
        if (trace == nullptr)
            trace = PyException_GetTraceback(e.value().ptr());
        else
            Py_INCREF(trace);
        PyObject *type = e.type().ptr();
        PyObject *value = e.value().ptr();
        // The handled exception is read back from the value alone (sys.exc_info() on 3.11+), and
        // a fetched error carries its traceback beside the value, not on it: attach it, as
        // Python's `except` does.
        if (trace != nullptr && value != nullptr && PyException_SetTraceback(value, trace) != 0)
            PyErr_Clear();
        Py_XINCREF(type);
        Py_XINCREF(value);
        PyErr_SetExcInfo(type, value, trace); // steals all three
    }
    ~HandlingException() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_trace_); }
    HandlingException(const HandlingException &) = delete;
    HandlingException &operator=(const HandlingException &) = delete;

private:
    PyObject *saved_type_ = nullptr;
    PyObject *saved_value_ = nullptr;
    PyObject *saved_trace_ = nullptr;
};

// `traceback.print_exc()` inside the handler of `e`: the traceback ends with `e`.
inline void print_traceback_of(const py::error_already_set &e) {
    HandlingException handling(e);
    py::module_::import("traceback").attr("print_exc")();
}

} // namespace kavrel
