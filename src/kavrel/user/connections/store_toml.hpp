// The connections file as TOML text: each profile a table, names and values written the simplest
// way that reads back as the same text.
#pragma once

#include "store_basics.hpp"

// Included by manager.cpp alone: the internal linkage keeps these pieces as one module's code.
namespace {

// ---------------------------------------------------------------------------------------------
// TOML text. Names and values are written the simplest way that reads back as the same text:
// bare keys and '...' literal strings where TOML allows them, basic strings with escapes otherwise.

bool is_bare_key(const py::str &text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    if (length == 0)
        return false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool bare = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
        if (!bare)
            return false;
    }
    return true;
}

// Control characters may not appear raw in any TOML string; tab is the one exception in literals.
bool is_control(Py_UCS4 c) { return c < 0x20 || c == 0x7f; }

bool fits_literal_string(const py::str &text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\'' || (is_control(c) && c != '\t'))
            return false;
    }
    return true;
}

// The escape that stands for `c` inside a basic string, or "" when `c` is written as it is.
std::string basic_escape(Py_UCS4 c) {
    switch (c) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\b':
        return "\\b";
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\f':
        return "\\f";
    case '\r':
        return "\\r";
    default:
        break;
    }
    if (!is_control(c))
        return "";
    static const char hex[] = "0123456789ABCDEF";
    std::string escape = "\\u00";
    escape += hex[(c >> 4) & 0xf];
    escape += hex[c & 0xf];
    return escape;
}

py::str basic_string(const py::str &text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    py::list parts;
    parts.append(py::str("\""));
    Py_ssize_t plain_from = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        std::string escape = basic_escape(PyUnicode_READ(kind, data, i));
        if (escape.empty())
            continue;
        parts.append(kavrel::substring(text, plain_from, i));
        parts.append(py::str(escape));
        plain_from = i + 1;
    }
    parts.append(kavrel::substring(text, plain_from, length));
    parts.append(py::str("\""));
    return py::str("").attr("join")(parts);
}

py::str toml_string(const py::str &text) {
    if (fits_literal_string(text))
        return cat({py::str("'"), text, py::str("'")});
    return basic_string(text);
}

py::str toml_key(const py::handle &name) {
    py::str text = py::str(name);
    return is_bare_key(text) ? text : toml_string(text);
}

// Any other scalar is written in its ordinary text form. That form is TOML for integers, floats
// and dates, but not for everything: parse it back first so a value that would corrupt the file
// is refused instead of written.
py::str toml_scalar(const py::handle &value, const py::handle &table_name, const py::handle &key) {
    py::str text = py::str(value);
    py::object library = g("tomllib");
    if (!py::hasattr(library, "loads"))
        return text;
    bool reads_back = false;
    try {
        py::object parsed = library.attr("loads")(cat({py::str("v = "), text}));
        reads_back = PyDict_Check(parsed.ptr()) && py::len(parsed) == 1 && parsed.contains("v");
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
    }
    if (!reads_back)
        kavrel::raise(PyExc_ValueError, cat({py::str("Cannot write the value of '"), py::str(key),
                                             py::str("' in table '"), py::str(table_name),
                                             py::str("' as TOML: "), py::repr(value)}));
    return text;
}

py::str toml_value(const py::handle &value, const py::handle &table_name, const py::handle &key) {
    if (kavrel::py_equal(value, py::str("")))
        return py::str("''");
    if (PyUnicode_Check(value.ptr()))
        return toml_string(py::reinterpret_borrow<py::str>(value));
    if (PyBool_Check(value.ptr()))
        return py::str(value.ptr() == Py_True ? "true" : "false");
    if (value.is_none())
        return py::str("''");
    return toml_scalar(value, table_name, key);
}

// Items are copied out of each dict first, so a value's str() cannot upset the iteration.
py::list items_of(const py::handle &mapping) { return py::list(mapping.attr("items")()); }

// The first (name, value) item of the top level whose value is not a table; None when all are.
py::object first_non_table(const py::list &entries) {
    for (const py::handle &entry : entries)
        if (!PyDict_Check(py::object(entry[py::int_(1)]).ptr()))
            return py::reinterpret_borrow<py::object>(entry);
    return py::none();
}

// The top level of the file holds tables only: anything else is refused before a file is opened.
void require_tables(const py::list &entries) {
    py::object entry = first_non_table(entries);
    if (!entry.is_none())
        kavrel::raise(PyExc_TypeError,
                      cat({py::str("Cannot write '"), py::str(entry[py::int_(0)]),
                           py::str("' to the connections file: a top-level value must be a "
                                   "table (dict), not "),
                           py::str(kavrel::type_name(entry[py::int_(1)]))}));
}

py::str render_store(const py::list &entries) {
    py::list lines;
    for (const py::handle &entry : entries) {
        py::handle name = entry[py::int_(0)], table = entry[py::int_(1)];
        lines.append(cat({py::str("["), toml_key(name), py::str("]\n\n")}));
        for (const py::handle &item : items_of(table)) {
            py::handle key = item[py::int_(0)], value = item[py::int_(1)];
            lines.append(
                cat({toml_key(key), py::str(" = "), toml_value(value, name, key), py::str("\n")}));
        }
        lines.append(py::str("\n"));
    }
    return py::str("").attr("join")(lines);
}

} // namespace
