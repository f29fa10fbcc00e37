// Dicts and lists of the plain types as compact JSON, written straight into the text.
#pragma once

#include "csv_numbers.hpp"

#include <cmath>

// Included by csv.cpp alone: the internal linkage keeps the compiler as free to inline across
// these pieces as when they were one file.
namespace {
namespace py = pybind11;

// Containers nested deeper than this (or holding themselves) are left to the json module, which
// has its own answer for them.
constexpr int kMaxJsonDepth = 100;

// The characters of a str as the body of a JSON string: quote, backslash and control characters
// escaped exactly as the json module escapes them, everything else as UTF-8. False for a lone
// surrogate, which has no UTF-8 form.
template <typename Char> bool put_json_chars(Text &out, const Char *s, Py_ssize_t n) {
    static const char hex[] = "0123456789abcdef";
    // Six bytes is the longest any character takes (\u001f). On 32-bit platforms a str can hold
    // more characters than a sixth of the address space.
    if (static_cast<size_t>(n) > std::numeric_limits<size_t>::max() / 6)
        throw std::bad_alloc();
    char *d = out.grow(static_cast<size_t>(n) * 6);
    for (Py_ssize_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c < 0x80) {
            if (c >= 0x20 && c != '"' && c != '\\') {
                *d++ = static_cast<char>(c);
                continue;
            }
            *d++ = '\\';
            switch (c) {
            case '"':
            case '\\':
                *d++ = static_cast<char>(c);
                break;
            case '\n':
                *d++ = 'n';
                break;
            case '\r':
                *d++ = 'r';
                break;
            case '\t':
                *d++ = 't';
                break;
            case '\b':
                *d++ = 'b';
                break;
            case '\f':
                *d++ = 'f';
                break;
            default:
                *d++ = 'u';
                *d++ = '0';
                *d++ = '0';
                *d++ = hex[c >> 4];
                *d++ = hex[c & 0xF];
            }
        } else if (c < 0x800) {
            out.continuation += 1;
            *d++ = static_cast<char>(0xC0 | (c >> 6));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.trim(d);
                return false;
            }
            out.continuation += 2;
            *d++ = static_cast<char>(0xE0 | (c >> 12));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out.continuation += 3;
            *d++ = static_cast<char>(0xF0 | (c >> 18));
            *d++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *d++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.trim(d);
    return true;
}

bool put_json_string(Text &out, PyObject *s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) != 0)
        throw py::error_already_set();
#endif
    out.put('"');
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    bool encoded =
        with_code_units(s, [&](const auto *data) { return put_json_chars(out, data, n); });
    if (!PyUnicode_IS_ASCII(s))
        out.maxchar = std::max(out.maxchar, PyUnicode_MAX_CHAR_VALUE(s));
    out.put('"');
    return encoded;
}

// `v` in compact JSON, as json.dumps(v, separators=(",", ":"), ensure_ascii=False) writes it,
// when it is made of the plain types alone (dict with str keys, list, tuple, str, int, float,
// bool, None, all of exactly these types). False, with part of it possibly written, for anything
// else: the caller leaves such a value to the json module, so the text never differs from what
// the json module would give. Nothing here runs Python code, so the containers cannot change
// under the writer.
bool put_json(Text &out, PyObject *v, int depth) {
    PyTypeObject *type = Py_TYPE(v);
    if (type == &PyUnicode_Type)
        return put_json_string(out, v);
    if (type == &PyLong_Type) {
        put_int(out, v);
    } else if (type == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(v);
        if (std::isfinite(d))
            put_float(out, d);
        else if (std::isnan(d))
            out.put("NaN", 3);
        else if (d > 0)
            out.put("Infinity", 8);
        else
            out.put("-Infinity", 9);
    } else if (v == Py_None) {
        out.put("null", 4);
    } else if (v == Py_True) {
        out.put("true", 4);
    } else if (v == Py_False) {
        out.put("false", 5);
    } else if (depth >= kMaxJsonDepth) {
        return false;
    } else if (type == &PyDict_Type) {
        out.put('{');
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        bool first = true;
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!first)
                out.put(',');
            first = false;
            if (!PyUnicode_CheckExact(key) || !put_json_string(out, key))
                return false;
            out.put(':');
            if (!put_json(out, value, depth + 1))
                return false;
        }
        out.put('}');
    } else if (type == &PyList_Type || type == &PyTuple_Type) {
        PyObject **items = PySequence_Fast_ITEMS(v);
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        out.put('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0)
                out.put(',');
            if (!put_json(out, items[i], depth + 1))
                return false;
        }
        out.put(']');
    } else {
        return false;
    }
    return true;
}

} // namespace
