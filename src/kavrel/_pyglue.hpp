// Helpers shared by kavrel's extension modules. Header-only and inline only: every module is its
// own shared library, so each gets its own copy and nothing is linked between them.
//
// The modules behave like Python modules: names are looked up in the module's namespace when a
// call runs (so monkeypatching a module global changes what the code does), output goes through
// `print` and `logging`, and errors are Python exceptions.
#pragma once

#include <pybind11/pybind11.h>

#include <frameobject.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// A module whose initialisation fails raises the error that stopped it, as a Python module's
// import does (an unimportable dependency fails with that import's own ImportError), instead of
// pybind11's "initialization failed" wrapped around it.
#undef PYBIND11_CATCH_INIT_EXCEPTIONS
#define PYBIND11_CATCH_INIT_EXCEPTIONS                                                             \
    catch (pybind11::error_already_set & e) {                                                      \
        e.restore();                                                                               \
    }                                                                                              \
    catch (const std::exception &e) {                                                              \
        ::pybind11::set_error(PyExc_ImportError, e.what());                                        \
    }

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

// The module's source file from the package folder on ("kavrel/util/csv.cpp"), named by the
// traceback frames of its functions.
inline std::string &source_file_slot() {
    static std::string file;
    return file;
}

inline void bind_module_globals(py::module_ &m, const char *source = __builtin_FILE()) {
    module_dict_slot() = m.attr("__dict__");
    // The last match: the checkout itself may sit in a folder called src/kavrel.
    const char *package = nullptr;
    for (const char *found = std::strstr(source, "src/kavrel/"); found != nullptr;
         found = std::strstr(found + 1, "src/kavrel/"))
        package = found;
    source_file_slot() = package != nullptr ? package + 4 : source;
}

// ---------------------------------------------------------------------------------------------
// New references from the C API

// A new reference as an object; NULL means the call raised, and the error is thrown.
inline py::object checked(PyObject *result) {
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// `str(value)`.
inline py::object str_of(const py::handle &value) { return checked(PyObject_Str(value.ptr())); }

// `len(value)`.
inline py::int_ py_len(const py::handle &value) {
    Py_ssize_t size = PyObject_Length(value.ptr());
    if (size < 0)
        throw py::error_already_set();
    return py::int_(size);
}

// `a // b`.
inline py::object floor_divide(const py::handle &a, const py::handle &b) {
    return checked(PyNumber_FloorDivide(a.ptr(), b.ptr()));
}

// `(a + b - 1) // b`: the ceiling of a / b for positive integers (how many batches of b hold a).
inline py::object ceil_divide(const py::handle &a, const py::handle &b) {
    py::object above = checked(PyNumber_Add(a.ptr(), b.ptr()));
    py::object less_one = checked(PyNumber_Subtract(above.ptr(), py::int_(1).ptr()));
    return floor_divide(less_one, b);
}

// `text[start:end]` of a str.
inline py::str substring(const py::str &text, Py_ssize_t start, Py_ssize_t end) {
    return py::reinterpret_steal<py::str>(
        checked(PyUnicode_Substring(text.ptr(), start, end)).release());
}

// `format(value, format_spec)`.
inline py::object formatted(const py::handle &value, const char *format_spec) {
    return checked(PyObject_Format(value.ptr(), py::str(format_spec).ptr()));
}

// Raises `exc_type(message)` as a Python exception.
[[noreturn]] inline void raise(PyObject *exc_type, const py::handle &message) {
    PyErr_SetObject(exc_type, message.ptr());
    throw py::error_already_set();
}

[[noreturn]] inline void raise(PyObject *exc_type, const std::string &message) {
    raise(exc_type, py::str(message));
}

// `raise error`, for an exception instance already made (its attributes set).
[[noreturn]] inline void raise_instance(const py::handle &error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
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

// Concatenates the text forms of `pieces`, as `"".join(map(str, pieces))` would. Works on Python
// strings throughout, so any text (lone surrogates included) survives unchanged.
inline py::str cat(std::initializer_list<py::object> pieces) {
    py::list parts;
    for (const py::object &piece : pieces)
        parts.append(PyUnicode_Check(piece.ptr()) ? piece : py::str(piece));
    return py::reinterpret_steal<py::str>(
        checked(PyUnicode_Join(py::str("").ptr(), parts.ptr())).release());
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

// `min(a, b)`: `a` unless `b < a`, as the builtin decides.
inline py::object py_min(const py::object &a, const py::object &b) {
    int b_smaller = PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT);
    if (b_smaller < 0)
        throw py::error_already_set();
    return b_smaller ? b : a;
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

// Puts a frame for `function` at `line` of this module's source on top of the traceback of the
// error being raised, as the interpreter does for each Python function an error leaves or is
// caught in. Compiled code has no frames of its own, so without these an error raised in C++
// and printed with `traceback.print_exc()` shows no "Traceback (most recent call last):" at all.
inline void push_frame(const char *function, int line) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyCodeObject *code = PyCode_NewEmpty(source_file_slot().c_str(), function, line);
    PyFrameObject *frame = nullptr;
    if (code != nullptr)
        frame = PyFrame_New(PyThreadState_Get(), code, module_dict_slot().ptr(), nullptr);
    PyErr_Clear(); // a frame that cannot be made leaves the traceback as it was
    PyErr_Restore(type, value, trace);
    if (frame != nullptr)
        (void)PyTraceBack_Here(frame); // on failure the original error stays, chained
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// Makes `e` the exception being handled for as long as the guard lives, as Python's `except`
// block does, so `sys.exc_info()` and `traceback.print_exc()` see it. With `function`, the
// traceback gains the handler's frame on top, as a handler written in Python has.
class HandlingException {
public:
    explicit HandlingException(const py::error_already_set &e) { handle(e, nullptr, 0); }
    HandlingException(const py::error_already_set &e, const char *function, int line) {
        handle(e, function, line);
    }
    ~HandlingException() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_trace_); }
    HandlingException(const HandlingException &) = delete;
    HandlingException &operator=(const HandlingException &) = delete;

private:
    void handle(const py::error_already_set &e, const char *function, int line) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_trace_);
        PyObject *trace = e.trace().ptr();
        if (trace == nullptr)
            trace = PyException_GetTraceback(e.value().ptr());
        else
            Py_INCREF(trace);
        PyObject *type = e.type().ptr();
        PyObject *value = e.value().ptr();
        Py_XINCREF(type);
        Py_XINCREF(value);
        if (function != nullptr) {
            PyErr_Restore(type, value, trace);
            push_frame(function, line);
            PyErr_Fetch(&type, &value, &trace);
        }
        // The handled exception is read back from the value alone (sys.exc_info() on 3.11+), and
        // a fetched error carries its traceback beside the value, not on it: attach it, as
        // Python's `except` does.
        if (trace != nullptr && value != nullptr && PyException_SetTraceback(value, trace) != 0)
            PyErr_Clear();
        PyErr_SetExcInfo(type, value, trace); // steals all three
    }

    PyObject *saved_type_ = nullptr;
    PyObject *saved_value_ = nullptr;
    PyObject *saved_trace_ = nullptr;
};

// `traceback.print_exc()` inside the handler of `e` in `function`: the traceback starts at the
// handler's frame and ends with `e`.
inline void print_traceback_of(const py::error_already_set &e,
                               const char *function = __builtin_FUNCTION(),
                               int line = __builtin_LINE()) {
    HandlingException handling(e, function, line);
    py::module_::import("traceback").attr("print_exc")();
}

// ---------------------------------------------------------------------------------------------
// Binding functions as a `def` binds them

// One parameter: a name, and the default when it may be left out.
struct Parameter {
    Parameter(const char *parameter_name) : name(parameter_name) {} // NOLINT: implicit on purpose
    Parameter(const char *parameter_name, py::object value)
        : name(parameter_name), default_value(std::move(value)) {}
    const char *name;
    py::object default_value;
};

// The parameter list of a `def name(a, b, c=1)`: binds a call's arguments with the interpreter's
// own TypeError texts for a wrong call, in the order the interpreter checks them (keywords, then
// the count of positional arguments, then what is missing), and renders the text signature
// `inspect.signature` reads.
class Signature {
public:
    Signature(const char *function, std::initializer_list<Parameter> parameters)
        : function_(function) {
        for (const Parameter &parameter : parameters) {
            if (!parameter.default_value && !defaults_.empty() && defaults_.back())
                throw std::logic_error(function_ + "(): a required parameter follows a default");
            names_.emplace_back(parameter.name);
            defaults_.push_back(parameter.default_value);
        }
    }

    const std::string &function() const { return function_; }
    size_t size() const { return names_.size(); }

    // The arguments by parameter, defaults filled in.
    std::vector<py::object> bind(const py::args &args, const py::kwargs &kwargs) const {
        const size_t given = args.size();
        std::vector<py::object> bound(names_.size());
        for (size_t i = 0; i < given && i < names_.size(); ++i)
            bound[i] = args[i];
        for (auto item : kwargs)
            bind_keyword(bound, item.first, item.second);
        if (given > names_.size())
            too_many_positional(given);
        fill_defaults(bound);
        return bound;
    }

    // "name(a, b=1)\n--\n\n", the head of a docstring that `inspect.signature` reads.
    std::string text() const {
        std::string text = function_ + "(";
        for (size_t i = 0; i < names_.size(); ++i) {
            if (i > 0)
                text += ", ";
            text += names_[i];
            if (defaults_[i])
                text += "=" + py::repr(defaults_[i]).cast<std::string>();
        }
        return text + ")\n--\n\n";
    }

private:
    [[noreturn]] void fail(const std::string &message) const {
        raise(PyExc_TypeError, function_ + "() " + message);
    }

    // A keyword is compared and quoted as the Python str it is: one that has no UTF-8 form (a
    // lone surrogate) is still just an unexpected keyword.
    [[noreturn]] void fail_on_keyword(const char *message, const py::handle &key) const {
        raise(PyExc_TypeError, cat({py::str(function_ + "() " + message + " '"),
                                    py::reinterpret_borrow<py::object>(key), py::str("'")}));
    }

    void bind_keyword(std::vector<py::object> &bound, const py::handle &key,
                      const py::handle &value) const {
        size_t index = 0;
        while (index < names_.size() &&
               !(PyUnicode_Check(key.ptr()) &&
                 PyUnicode_CompareWithASCIIString(key.ptr(), names_[index].c_str()) == 0))
            ++index;
        if (index == names_.size())
            fail_on_keyword("got an unexpected keyword argument", key);
        if (bound[index])
            fail_on_keyword("got multiple values for argument", key);
        bound[index] = py::reinterpret_borrow<py::object>(value);
    }

    [[noreturn]] void too_many_positional(size_t given) const {
        size_t required = 0;
        while (required < names_.size() && !defaults_[required])
            ++required;
        std::string takes = std::to_string(names_.size());
        bool plural = names_.size() != 1;
        if (required < names_.size()) {
            takes = "from " + std::to_string(required) + " to " + takes;
            plural = true;
        }
        fail("takes " + takes + " positional argument" + (plural ? "s" : "") + " but " +
             std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }

    // Defaults for the unbound parameters; the required ones left unbound are reported missing.
    void fill_defaults(std::vector<py::object> &bound) const {
        std::vector<std::string> missing;
        for (size_t i = 0; i < bound.size(); ++i) {
            if (bound[i])
                continue;
            if (defaults_[i])
                bound[i] = defaults_[i];
            else
                missing.push_back("'" + names_[i] + "'");
        }
        if (missing.empty())
            return;
        std::string listed;
        for (size_t i = 0; i < missing.size(); ++i) {
            if (i > 0)
                listed +=
                    missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            listed += missing[i];
        }
        fail("missing " + std::to_string(missing.size()) + " required positional argument" +
             (missing.size() == 1 ? "" : "s") + ": " + listed);
    }

    std::string function_;
    std::vector<std::string> names_;
    std::vector<py::object> defaults_; // by parameter; empty when required
};

template <class Result, class... Params, size_t... I>
py::object call_bound(Result (*impl)(Params...), const std::vector<py::object> &arguments,
                      std::index_sequence<I...>) {
    if constexpr (std::is_void_v<Result>) {
        impl(arguments[I]...);
        return py::none();
    } else if constexpr (std::is_base_of_v<py::object, Result>) {
        return impl(arguments[I]...);
    } else {
        return py::cast(impl(arguments[I]...));
    }
}

// `m.name`, taking its arguments as a def with `parameters` would, and with a docstring that
// opens with the text signature. `impl` takes one `const py::object &` per parameter. An error
// leaving it gets the function's frame in its traceback, as a Python function's would.
template <class Result, class... Params>
void def(py::module_ &m, const char *name, std::initializer_list<Parameter> parameters,
         Result (*impl)(Params...), const char *doc, int line = __builtin_LINE()) {
    auto signature = std::make_shared<const Signature>(name, parameters);
    if (signature->size() != sizeof...(Params))
        throw std::logic_error(std::string(name) + "(): parameter names and C++ arity differ");
    std::string docstring = signature->text() + doc;
    py::options options;
    options.disable_function_signatures();
    m.def(
        name,
        [signature, impl, line](const py::args &args, const py::kwargs &kwargs) -> py::object {
            std::vector<py::object> arguments = signature->bind(args, kwargs);
            try {
                return call_bound(impl, arguments, std::index_sequence_for<Params...>{});
            } catch (py::error_already_set &e) {
                e.restore();
                push_frame(signature->function().c_str(), line);
                throw py::error_already_set();
            }
        },
        docstring.c_str());
}

} // namespace kavrel
