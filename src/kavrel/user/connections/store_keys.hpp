// Copies of Snowflake key files in the settings directory: written once, whole, never rewritten,
// and removed once no profile points at them.
#pragma once

#include "store_files.hpp"

// Included by manager.cpp alone: the internal linkage keeps these pieces as one module's code.
namespace {

bool same_content(const py::object &a, const py::object &b) {
    return kavrel::py_equal(as_path(a).attr("read_bytes")(), as_path(b).attr("read_bytes")());
}

// Where the key `source` goes in the settings directory: its base name, unless a different file
// already lies there (another profile's key), then the first free "<stem>-N<suffix>". A file with
// the same content is the same key and is reused, so saving a profile again adds no copies.
py::object key_destination(const py::object &source, const py::object &directory,
                           const py::object &base) {
    py::object os_path = g("os").attr("path");
    py::object destination = directory / base;
    py::tuple stem_suffix = os_path.attr("splitext")(base);
    for (long n = 2;; ++n) {
        if (!kavrel::truthy(os_path.attr("lexists")(destination)))
            return destination;
        if (kavrel::truthy(os_path.attr("isfile")(destination)) &&
            same_content(source, destination))
            return destination;
        destination = directory / cat({stem_suffix[0], py::str("-"), py::int_(n), stem_suffix[1]});
    }
}

// Puts a copy of the key `source` at `destination`, which key_destination chose: free, or already
// holding the same key. An existing copy is never written again, and a new one appears whole or
// not at all: every profile may point at it, and a save killed halfway must not cost them their
// key.
void copy_key_file(const py::object &source, const py::object &destination) {
    if (kavrel::truthy(g("os").attr("path").attr("lexists")(destination)))
        return;
    py::object content = as_path(source).attr("read_bytes")();
    write_atomically(destination, [&](const py::object &f) { f.attr("write")(content); }, true);
}

// The `private_key_file` of a Snowflake profile: the caller's key file copied into the settings
// directory (owner-only) when asked and possible, else the caller's path as given.
py::str private_key_file(const py::dict &credentials, const py::object &directory,
                         const py::object &copy_key) {
    py::object key = get(credentials, "private_key_file", py::str(""));
    py::object os = g("os");
    py::object os_path = os.attr("path");
    if (kavrel::truthy(copy_key) && kavrel::truthy(key) &&
        kavrel::truthy(os_path.attr("isfile")(key))) {
        py::object base = os_path.attr("basename")(key);
        py::object destination = directory / base;
        if (!kavrel::py_equal(os_path.attr("abspath")(key), os_path.attr("abspath")(destination))) {
            destination = key_destination(key, directory, base);
            copy_key_file(key, destination);
            os.attr("chmod")(destination, OWNER_ONLY_FILE);
            kavrel::print_line(cat({py::str("✓ Copied private key to "), destination}));
        } else {
            os.attr("chmod")(destination, OWNER_ONLY_FILE);
            kavrel::print_line(py::str("✓ Private key already in .velmora directory"));
        }
        key = py::str(destination);
    }
    return stripped(key);
}

bool key_in_use(const py::object &store, const py::str &key_path) {
    for (const py::handle &table : store.attr("values")())
        if (PyDict_Check(table.ptr()) &&
            kavrel::py_equal(text_of(table, "private_key_file"), key_path))
            return true;
    return false;
}

// Whether `key_path` names a file of the settings directory that the store may remove: a copy it
// made there, never the connections file itself nor its lock.
bool is_removable_copy(const py::str &key_path, const py::object &directory) {
    py::object os_path = g("os").attr("path");
    py::object absolute = os_path.attr("abspath")(key_path);
    if (!kavrel::py_equal(os_path.attr("dirname")(absolute), os_path.attr("abspath")(directory)))
        return false;
    py::str name = py::str(os_path.attr("basename")(absolute));
    py::str store_name = py::str(as_path(g("get_connections_file")()).attr("name"));
    if (kavrel::py_equal(name, store_name) ||
        kavrel::py_equal(name, cat({store_name, py::str(".lock")})))
        return false;
    return kavrel::truthy(os_path.attr("isfile")(key_path)) &&
           !kavrel::truthy(os_path.attr("islink")(key_path));
}

// Removes the key copy `key_path` when it lies in the settings directory and no profile of `store`
// points at it any longer; true when it did. Keys elsewhere are the user's own and stay.
bool remove_key_copy_if_unused(const py::object &store, const py::str &key_path,
                               const py::object &directory) {
    if (!kavrel::truthy(key_path) || key_in_use(store, key_path) ||
        !is_removable_copy(key_path, directory))
        return false;
    remove_quietly(key_path);
    return true;
}

} // namespace
