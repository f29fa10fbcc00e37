// The store's small pieces of Python (text of a mapping's key, the type of a profile, paths) and
// the constants the rest of the store shares.
#pragma once

#include "_pyglue.hpp"

#include <string>

// Included by manager.cpp alone: the internal linkage keeps these pieces as one module's code.
namespace {
namespace py = pybind11;
using kavrel::cat;
using kavrel::g;

const char *const TOML_MISSING =
    "TOML library is required. Install one of: tomli, toml, or use Python 3.11+";
const char *const DEFAULT_REDIRECT_URL = "https://localhost:1717//OauthRedirect";
const int OWNER_ONLY_DIR = 0700;
const int OWNER_ONLY_FILE = 0600;

// ---------------------------------------------------------------------------------------------
// Small pieces of Python

void require_toml() {
    if (!kavrel::truthy(g("TOML_AVAILABLE")))
        kavrel::raise(PyExc_ValueError, TOML_MISSING);
}

// `str(value).strip()`
py::str stripped(const py::handle &value) { return py::str(value).attr("strip")(); }

// `str(value).strip().lower()`
py::str normalised_type(const py::handle &value) { return stripped(value).attr("lower")(); }

// `mapping.get(key, default)`
py::object get(const py::handle &mapping, const char *key, const py::object &fallback) {
    return mapping.attr("get")(key, fallback);
}

// The text of `key` in `mapping`: its value (empty when absent) as stripped text.
py::str text_of(const py::handle &mapping, const char *key) {
    return stripped(get(mapping, key, py::str("")));
}

// The type of a stored profile; a table without `connection_type` is a Snowflake profile.
py::str profile_type(const py::handle &table) {
    return normalised_type(get(table, "connection_type", py::str("snowflake")));
}

bool is_type(const py::handle &type, const char *name) {
    return kavrel::py_equal(type, py::str(name));
}

// `pathlib.Path(path)`: callers may hand us a Path or its text (a patched get_connections_file).
py::object as_path(const py::handle &path) { return g("Path")(path); }

[[noreturn]] void raise_invalid_type(const py::str &type) {
    kavrel::raise(PyExc_ValueError, cat({py::str("Invalid connection_type: "), type,
                                         py::str(". Must be 'snowflake' or 'salesforce'")}));
}

} // namespace
