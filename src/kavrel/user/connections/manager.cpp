// Extension module kavrel.user.connections.manager: the user's saved connection profiles for
// Snowflake and Salesforce, kept as tables of ~/.velmora/connections.toml.
//
// Every function reads the whole file, changes one table in memory and writes the whole file back.
// The file holds secrets and is shared by every process of the user, so a write goes to a temporary
// file that replaces the old one only once it is complete, a new file is readable by its owner
// only, and each read-change-write holds an exclusive lock on a file beside the connections file.
// The same holds for the copies of Snowflake key files that profiles point at: a copy is written
// once, whole, and never rewritten; it goes when a save leaves no profile pointing at it. A
// connections file that is a symbolic link is written through to its target, and the temporary
// files of saves that were killed are removed by the next change.
#include "_pyglue.hpp"

#include <string>

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

// ---------------------------------------------------------------------------------------------
// Files

void close_quietly(const py::object &closable, const py::object &fd) {
    try {
        if (!closable.is_none())
            closable.attr("close")();
        else
            g("os").attr("close")(fd);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
    }
}

void remove_quietly(const py::object &path) {
    try {
        g("os").attr("unlink")(path);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
    }
}

// Makes a completed rename survive a crash; file systems that cannot sync a directory are
// left to their own guarantees.
void sync_directory(const py::object &directory) {
    py::object os = g("os");
    try {
        py::object fd = os.attr("open")(directory, os.attr("O_RDONLY"));
        try {
            os.attr("fsync")(fd);
        } catch (py::error_already_set &e) {
            os.attr("close")(fd);
            if (!e.matches(PyExc_OSError))
                throw;
            return;
        }
        os.attr("close")(fd);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

// Temporary files are named ".<target name>.tmp-<pid>-<random>", so a later save can tell those of
// killed processes (each holds every secret) from those of a save under way.
py::str temporary_prefix(const py::object &target) {
    return cat({py::str("."), target.attr("name"), py::str(".tmp-"), g("os").attr("getpid")(),
                py::str("-")});
}

// The file a write replaces: the target of a symbolic link (a connections file kept in a dotfiles
// repository stays a link), else the path itself.
py::object write_target(const py::object &path) {
    py::object os_path = g("os").attr("path");
    if (kavrel::truthy(os_path.attr("islink")(path)))
        return as_path(os_path.attr("realpath")(path));
    return as_path(path);
}

// Writes `path` whole through `write(f)` (f: a UTF-8 text file, or a binary one): into a temporary
// file in the same directory, synced, then renamed over `path`. On any failure the old file stays
// as it was and the temporary file is removed. A new file is readable by its owner only; an
// existing file keeps its mode.
template <class Write>
void write_atomically(const py::object &path, Write write, bool binary = false) {
    py::object os = g("os");
    py::object target = write_target(path);
    py::object directory = target.attr("parent");
    py::tuple made = g("tempfile")
                         .attr("mkstemp")(py::arg("prefix") = temporary_prefix(target),
                                          py::arg("dir") = directory);
    py::object fd = made[0], temporary = made[1], file = py::none();
    try {
        if (kavrel::truthy(target.attr("exists")())) {
            py::object mode = os.attr("stat")(target).attr("st_mode");
            os.attr("fchmod")(fd, mode & py::int_(07777));
        }
        file = binary ? g("open")(fd, "wb")
                      : g("open")(fd, "w", py::arg("encoding") = "utf-8", py::arg("newline") = "");
        write(file);
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        os.attr("replace")(temporary, target);
    } catch (...) {
        close_quietly(file, fd);
        remove_quietly(temporary);
        throw;
    }
    sync_directory(directory);
}

// False only when no process `pid` exists (one of another user still counts as alive).
bool process_alive(const py::object &pid) {
    try {
        g("os").attr("kill")(pid, 0);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ProcessLookupError))
            return false;
        if (!e.matches(PyExc_OSError))
            throw;
    }
    return true;
}

const double HOUR = 3600;

// Whether the temporary file `path` of process `pid` is left over: its process is gone (a killed
// save), or it is older than an hour (its pid now names another process). A pid of None marks the
// earlier naming, which carried none; under the store lock such a file is never in use.
bool is_stale_temporary(const py::object &path, const py::object &pid) {
    if (pid.is_none())
        return true;
    py::object os = g("os");
    py::object number = g("int")(pid);
    if (kavrel::py_equal(number, os.attr("getpid")()))
        return false;
    if (!process_alive(number))
        return true;
    try {
        double modified = os.attr("stat")(path).attr("st_mtime").cast<double>();
        return modified < g("time").attr("time")().cast<double>() - HOUR;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return false;
    }
}

// Removes the temporary files in `directory` that no save under way can still need. Runs under the
// store lock, which every save holds while its temporary file exists.
void remove_stale_temporaries(const py::object &directory) {
    py::object pattern = g("re").attr("compile")(
        R"(^\..+\.tmp-(\d{1,9})-[a-z0-9_]{8}$|^\.connections\.toml\.[a-z0-9_]{8}\.tmp$)");
    py::object names;
    try {
        names = g("os").attr("listdir")(directory);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return;
    }
    for (const py::handle &name : names) {
        py::object match = pattern.attr("match")(name);
        if (match.is_none())
            continue;
        py::object path = as_path(directory) / name;
        if (is_stale_temporary(path, match.attr("group")(1)))
            remove_quietly(path);
    }
}

// Who holds a store lock: this process's thread. The lock is taken once per holder, so a body that
// calls other store functions (a command that checks and saves under one lock) does not wait for
// the lock it holds itself; another thread of the process waits like another process.
py::object lock_holder() {
    return py::make_tuple(g("os").attr("getpid")(), g("threading").attr("get_ident")());
}

// Runs `body` while holding an exclusive lock on "<connections file>.lock", so a concurrent
// read-change-write of another process cannot slip between this one's read and its write. With
// no settings directory yet there is nothing to lock: the load inside `body` reports the missing
// file.
template <class Body> py::object with_store_lock(const py::object &connections_file, Body body) {
    py::object path = as_path(connections_file);
    py::object lock_path = path.attr("with_name")(cat({path.attr("name"), py::str(".lock")}));
    if (!kavrel::truthy(lock_path.attr("parent").attr("is_dir")()))
        return body();
    py::object held = g("_held_store_locks"); // {lock path: holder}
    py::str key = py::str(lock_path);
    if (held.contains(key) && kavrel::py_equal(held[key], lock_holder()))
        return body();
    py::object os = g("os");
    py::object flags = os.attr("O_RDWR") | os.attr("O_CREAT");
    py::object fd = os.attr("open")(lock_path, flags, OWNER_ONLY_FILE);
    py::object result;
    try {
        py::object fcntl = g("fcntl");
        fcntl.attr("flock")(fd, fcntl.attr("LOCK_EX"));
        held[key] = lock_holder();
        remove_stale_temporaries(lock_path.attr("parent"));
        py::object target_directory = write_target(path).attr("parent");
        if (!kavrel::py_equal(target_directory, lock_path.attr("parent")))
            remove_stale_temporaries(target_directory);
        result = body();
    } catch (...) {
        held.attr("pop")(key, py::none());
        close_quietly(py::none(), fd);
        throw;
    }
    held.attr("pop")(key, py::none());
    os.attr("close")(fd); // closing the descriptor releases the lock
    return result;
}

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

// A credential given as None is not set: its key is left out of the table, which reads back as
// empty (or as the key's default) like a key never given.
bool is_set(const py::dict &credentials, const char *key) {
    return !credentials.contains(key) || !credentials[key].is_none();
}

void put_text(py::dict &table, const py::dict &credentials, const char *key) {
    if (is_set(credentials, key))
        table[key] = text_of(credentials, key);
}

// The table of a profile of type `type`, built from `credentials` alone. A type other than
// snowflake or salesforce gives a table holding only `connection_type`.
py::dict build_profile(const py::str &type, const py::dict &credentials,
                       const py::object &directory, const py::object &copy_key) {
    py::dict table;
    table["connection_type"] = type;
    if (is_type(type, "snowflake")) {
        if (is_set(credentials, "private_key_file"))
            table["private_key_file"] = private_key_file(credentials, directory, copy_key);
        for (const char *key : {"private_key_passphrase", "account", "user"})
            put_text(table, credentials, key);
        table["authenticator"] = py::str("SNOWFLAKE_JWT");
        for (const char *key : {"warehouse", "database", "schema", "role"})
            put_text(table, credentials, key);
    } else if (is_type(type, "salesforce")) {
        put_text(table, credentials, "client_id");
        put_text(table, credentials, "client_key");
        if (is_set(credentials, "sandbox"))
            table["sandbox"] = get(credentials, "sandbox", py::bool_(false));
        put_text(table, credentials, "my_domain");
        if (is_set(credentials, "redirect_url"))
            table["redirect_url"] =
                stripped(get(credentials, "redirect_url", py::str(DEFAULT_REDIRECT_URL)));
    }
    return table;
}

// ---------------------------------------------------------------------------------------------
// Settings directory and connections file

py::object get_velmora_dir() { return g("Path").attr("home")() / py::str(".velmora"); }

py::object get_connections_file() { return g("get_velmora_dir")() / py::str("connections.toml"); }

py::object initialize_velmora_directory() {
    py::object directory = g("get_velmora_dir")();
    directory.attr("mkdir")(py::arg("mode") = OWNER_ONLY_DIR, py::arg("exist_ok") = true);
    return directory;
}

// Names the connections file on an error met reading it: in a note, which every printed traceback
// shows, and as its `connections_file` attribute, which a command turns into one line. The type
// and the text of the exception stay what callers match on.
void name_the_file(const py::handle &error, const py::object &path) {
    error.attr("add_note")(cat({py::str("while reading the connections file "), path}));
    py::setattr(error, "connections_file", path);
}

void name_the_file(py::error_already_set &e, const py::object &path) {
    if (kavrel::is_ordinary_error(e))
        name_the_file(e.value(), path);
}

// `os.stat(path)`, or None when there is no such file.
py::object stat_or_none(const py::object &path) {
    try {
        return g("os").attr("stat")(path);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_FileNotFoundError))
            return py::none();
        name_the_file(e, path);
        throw;
    }
}

// The file holds secrets: say so, once per process and file, when others may read or change it.
// Nothing is changed without the user.
void warn_if_open_to_others(const py::object &path, const py::object &status) {
    py::object mode = py::object(status.attr("st_mode")) & py::int_(07777);
    if (!kavrel::truthy(mode & py::int_(0077)))
        return;
    py::object warned = g("_warned_open_files");
    py::str key = py::str(path);
    if (warned.contains(key))
        return;
    warned.attr("add")(key);
    py::object quoted = g("shlex").attr("quote")(key);
    g("print")(
        cat({py::str("Warning: "), key, py::str(" is open to other users (mode "),
             g("format")(mode, "04o"), py::str("); make it private with: chmod 600 "), quoted}),
        py::arg("file") = g("sys").attr("stderr"));
}

[[noreturn]] void raise_damaged(const py::object &path, const py::str &problem) {
    py::object error = g("ValueError")(cat({py::str("The connections file "), path, problem}));
    name_the_file(error, path);
    kavrel::raise_instance(error);
}

// The top level of a store holds tables only; anything else would fail later, far from its cause.
void require_tables_read(const py::object &store, const py::object &path) {
    if (!PyDict_Check(store.ptr()))
        raise_damaged(path, py::str(" did not read as tables"));
    py::object entry = first_non_table(items_of(store));
    if (!entry.is_none())
        raise_damaged(path, cat({py::str(" is damaged: '"), py::str(entry[py::int_(0)]),
                                 py::str("' is not a table but "),
                                 py::str(kavrel::type_name(entry[py::int_(1)]))}));
}

py::object load_connections_file() {
    require_toml();
    py::object path = g("get_connections_file")();
    py::object status = stat_or_none(path);
    if (status.is_none())
        kavrel::raise(PyExc_FileNotFoundError,
                      cat({py::str("Connections file not found: "), py::str(path)}));
    warn_if_open_to_others(path, status);
    py::object mode = g("TOML_READ_MODE");
    bool binary = kavrel::truthy(mode.attr("__contains__")("b"));
    py::object file = py::none(), store;
    try {
        file =
            binary ? g("open")(path, mode) : g("open")(path, mode, py::arg("encoding") = "utf-8");
        store = g("tomllib").attr("load")(file);
        file.attr("close")();
    } catch (py::error_already_set &e) {
        if (!file.is_none())
            close_quietly(file, py::none());
        name_the_file(e, path);
        throw;
    }
    require_tables_read(store, path);
    return store;
}

py::object save_connections_file(const py::object &connections) {
    kavrel::require_dict(connections, "connections");
    require_toml();
    py::object path = g("get_connections_file")();
    py::list entries = items_of(connections);
    require_tables(entries);
    py::object library = g("tomllib");
    if (py::hasattr(library, "dump")) {
        write_atomically(path, [&](const py::object &f) { library.attr("dump")(connections, f); });
    } else {
        py::str text = render_store(entries);
        write_atomically(path, [&](const py::object &f) { f.attr("write")(text); });
    }
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Saving and updating profiles

// Names the listing hides (those beginning with "_", such as the primaries' table) and the empty
// name cannot hold a profile: saving one would replace the primaries or vanish from view.
void require_profile_name(const py::str &name) {
    if (!kavrel::truthy(name))
        kavrel::raise(PyExc_ValueError, "A connection needs a name");
    if (kavrel::truthy(name.attr("startswith")("_")))
        kavrel::raise(PyExc_ValueError, cat({py::str("Cannot save a connection named '"), name,
                                             py::str("': names beginning with '_' are reserved")}));
}

// The stored profile `name` (stripped), or None when there is none; reserved names hold no profile.
py::object stored_profile(const py::object &store, const py::str &name) {
    if (kavrel::truthy(name.attr("startswith")("_")) || !store.contains(name))
        return py::none();
    return store[name];
}

void drop_primary_entry(const py::object &primary, const py::object &entry, const py::str &name) {
    if (primary.contains(entry) && kavrel::py_equal(stripped(primary[entry]), name))
        primary.attr("__delitem__")(entry);
}

// A profile replaced by one of another type is no longer the primary of its old type: a stale
// entry would send loads of that type to a profile that cannot serve them.
void leave_old_type(const py::object &store, const py::str &name, const py::str &old_type) {
    if (!store.contains("_primary"))
        return;
    py::object primary = store["_primary"];
    drop_primary_entry(primary, cat({old_type, py::str("_primary")}), name);
    drop_primary_entry(primary, py::str("name"), name);
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

// Puts `table` into the store under `name` and writes the store. When the name held a profile of
// another type, that type's primaries let go of it; a key copy the old profile used goes once
// unused.
void store_profile(const py::object &store, const py::str &name, const py::dict &table,
                   const py::object &directory) {
    py::object old = stored_profile(store, name);
    store[name] = table;
    bool type_changed =
        !old.is_none() && !kavrel::py_equal(profile_type(old), table["connection_type"]);
    if (type_changed)
        leave_old_type(store, name, profile_type(old));
    g("_save_connections_file")(store);
    if (!old.is_none())
        remove_key_copy_if_unused(store, text_of(old, "private_key_file"), directory);
}

py::object save_connection_config(const py::object &connection_name, const py::object &credentials,
                                  const py::object &connection_type, const py::object &copy_key) {
    kavrel::require_str(connection_name, "connection_name");
    kavrel::require_dict(credentials, "credentials");
    kavrel::require_str(connection_type, "connection_type");
    require_toml();
    py::str name = stripped(connection_name);
    require_profile_name(name);
    py::str type = normalised_type(connection_type);
    g("initialize_velmora_directory")();
    py::object path = g("get_connections_file")();
    py::object directory = g("get_velmora_dir")();
    with_store_lock(path, [&]() -> py::object {
        py::object store = kavrel::truthy(as_path(path).attr("exists")())
                               ? g("_load_connections_file")()
                               : py::dict();
        if (!is_type(type, "snowflake") && !is_type(type, "salesforce"))
            kavrel::raise(PyExc_ValueError,
                          cat({py::str("Unknown connection type: "), type,
                               py::str(". Must be 'snowflake' or 'salesforce'")}));
        store_profile(store, name, build_profile(type, credentials, directory, copy_key),
                      directory);
        return py::none();
    });
    kavrel::print_line(
        cat({py::str("✓ Saved connection '"), name, py::str("' ("), type, py::str(") to "), path}));
    return py::none();
}

// The type an update writes when the caller names none: the `connection_type` of `credentials`
// when it has one (None counts as not given), else the stored one.
py::object update_type(const py::handle &table, const py::dict &credentials) {
    if (!credentials.contains("connection_type") || credentials["connection_type"].is_none())
        return get(table, "connection_type", py::str("snowflake"));
    py::object given = credentials["connection_type"];
    if (!PyUnicode_Check(given.ptr()))
        kavrel::raise(PyExc_TypeError, "credentials['connection_type'] must be str or None, not " +
                                           kavrel::type_name(given));
    return given;
}

py::object update_connection(const py::object &connection_name, const py::object &credentials,
                             const py::object &connection_type, const py::object &copy_key) {
    kavrel::require_str(connection_name, "connection_name");
    kavrel::require_dict(credentials, "credentials");
    kavrel::require_str_or_none(connection_type, "connection_type");
    py::str name = stripped(connection_name);
    py::object written_type = with_store_lock(g("get_connections_file")(), [&]() -> py::object {
        py::object store = g("_load_connections_file")();
        py::object old = stored_profile(store, name);
        if (old.is_none())
            return py::none();
        py::object raw =
            connection_type.is_none() ? update_type(old, credentials) : connection_type;
        py::str type = normalised_type(raw);
        py::object directory = g("get_velmora_dir")();
        store_profile(store, name, build_profile(type, credentials, directory, copy_key),
                      directory);
        return type;
    });
    if (written_type.is_none())
        return py::bool_(false);
    kavrel::print_line(
        cat({py::str("✓ Updated connection '"), name, py::str("' ("), written_type, py::str(")")}));
    return py::bool_(true);
}

// ---------------------------------------------------------------------------------------------
// Lookup, primaries and deletion

py::object load_connection(const py::object &connection_name) {
    kavrel::require_str(connection_name, "connection_name");
    py::str name = stripped(connection_name);
    py::object store = g("_load_connections_file")();
    if (!store.contains(name))
        return py::none();
    py::object table = store[name];
    py::str type = profile_type(table);
    py::dict credentials;
    credentials["connection_type"] = type;
    if (is_type(type, "snowflake")) {
        for (const char *key : {"account", "user", "role", "warehouse", "private_key_file"})
            credentials[key] = text_of(table, key);
        py::str passphrase = text_of(table, "private_key_passphrase");
        credentials["private_key_passphrase"] =
            kavrel::truthy(passphrase) ? py::object(passphrase) : py::none();
        for (const char *key : {"database", "schema"}) {
            py::str text = text_of(table, key);
            if (kavrel::truthy(text))
                credentials[key] = text;
        }
    } else if (is_type(type, "salesforce")) {
        credentials["client_id"] = text_of(table, "client_id");
        credentials["client_key"] = text_of(table, "client_key");
        credentials["sandbox"] = get(table, "sandbox", py::bool_(false));
        credentials["my_domain"] = text_of(table, "my_domain");
        credentials["redirect_url"] =
            stripped(get(table, "redirect_url", py::str(DEFAULT_REDIRECT_URL)));
    }
    return credentials;
}

py::object tallyra() {
    py::object store = g("_load_connections_file")();
    py::list names;
    for (const py::handle &name : store)
        if (!kavrel::truthy(name.attr("startswith")("_")))
            names.append(name);
    return names;
}

py::object stripped_or_none(const py::object &value) {
    return kavrel::truthy(value) ? py::object(stripped(value)) : py::none();
}

py::object get_primary_connection(const py::object &connection_type) {
    kavrel::require_str_or_none(connection_type, "connection_type");
    py::object store = g("_load_connections_file")();
    if (!store.contains("_primary"))
        return py::none();
    py::object primary = store["_primary"];
    if (!kavrel::truthy(connection_type))
        return stripped_or_none(get(primary, "name", py::none()));
    py::str type = normalised_type(connection_type);
    py::object candidate;
    if (is_type(type, "snowflake"))
        candidate = get(primary, "snowflake_primary", py::none());
    else if (is_type(type, "salesforce"))
        candidate = get(primary, "salesforce_primary", py::none());
    else
        raise_invalid_type(type);
    if (!kavrel::truthy(candidate)) {
        // Stores written before the per-type entries existed name one primary of either type.
        py::object legacy = get(primary, "name", py::none());
        if (kavrel::truthy(legacy)) {
            py::str legacy_name = stripped(legacy);
            if (store.contains(legacy_name) &&
                kavrel::py_equal(profile_type(store[legacy_name]), type))
                candidate = legacy_name;
        }
    }
    return stripped_or_none(candidate);
}

py::object set_primary_connection(const py::object &connection_name,
                                  const py::object &connection_type) {
    kavrel::require_str(connection_name, "connection_name");
    kavrel::require_str_or_none(connection_type, "connection_type");
    py::str name = stripped(connection_name);
    py::object written_type = with_store_lock(g("get_connections_file")(), [&]() -> py::object {
        py::object store = g("_load_connections_file")();
        py::object profile = stored_profile(store, name);
        if (profile.is_none())
            return py::none();
        py::str type =
            connection_type.is_none() ? profile_type(profile) : normalised_type(connection_type);
        if (!is_type(type, "snowflake") && !is_type(type, "salesforce"))
            raise_invalid_type(type);
        if (!store.contains("_primary"))
            store["_primary"] = py::dict();
        py::object primary = store["_primary"];
        primary[cat({type, py::str("_primary")})] = name;
        primary["name"] = name;
        g("_save_connections_file")(store);
        return type;
    });
    if (written_type.is_none())
        return py::bool_(false);
    kavrel::print_line(cat({py::str("✓ Set '"), name, py::str("' as primary "), written_type,
                            py::str(" connection")}));
    return py::bool_(true);
}

py::object delete_connection(const py::object &connection_name) {
    kavrel::require_str(connection_name, "connection_name");
    py::str name = stripped(connection_name);
    py::object deleted = with_store_lock(g("get_connections_file")(), [&]() -> py::object {
        py::object store = g("_load_connections_file")();
        if (stored_profile(store, name).is_none())
            return py::bool_(false);
        store.attr("__delitem__")(name);
        g("_save_connections_file")(store);
        return py::bool_(true);
    });
    if (kavrel::truthy(deleted))
        kavrel::print_line(cat({py::str("✓ Deleted connection '"), name, py::str("'")}));
    return deleted;
}

py::object under_store_lock(const py::object &function) {
    return with_store_lock(g("get_connections_file")(), [&]() -> py::object { return function(); });
}

py::object remove_unused_key_copy(const py::object &private_key_file) {
    kavrel::require_str(private_key_file, "private_key_file");
    py::object path = g("get_connections_file")();
    return with_store_lock(path, [&]() -> py::object {
        py::object store = kavrel::truthy(as_path(path).attr("exists")())
                               ? g("_load_connections_file")()
                               : py::dict();
        return py::bool_(
            remove_key_copy_if_unused(store, stripped(private_key_file), g("get_velmora_dir")()));
    });
}

// ---------------------------------------------------------------------------------------------
// Module initialisation

// The first TOML library found, bound once as `tomllib`: the standard library's, then tomli,
// then toml (which reads text, not bytes). Without any, the module loads and the store's
// operations refuse to run.
void bind_toml_library() {
    struct Candidate {
        const char *module;
        const char *read_mode;
    };
    for (Candidate candidate :
         {Candidate{"tomllib", "rb"}, Candidate{"tomli", "rb"}, Candidate{"toml", "r"}}) {
        try {
            kavrel::set_global("tomllib", py::module_::import(candidate.module));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ImportError))
                throw;
            continue;
        }
        kavrel::set_global("TOML_AVAILABLE", py::bool_(true));
        kavrel::set_global("TOML_READ_MODE", py::str(candidate.read_mode));
        return;
    }
    kavrel::set_global("TOML_AVAILABLE", py::bool_(false));
}

} // namespace

PYBIND11_MODULE(manager, m) {
    kavrel::bind_module_globals(m);
    m.doc() = "The user's saved Snowflake and Salesforce connection profiles "
              "(~/.velmora/connections.toml).";
    for (const char *module :
         {"os", "shutil", "fcntl", "tempfile", "re", "shlex", "sys", "time", "threading"})
        kavrel::set_global(module, py::module_::import(module));
    kavrel::set_global("Path", py::module_::import("pathlib").attr("Path"));
    kavrel::set_global("_warned_open_files", py::set());
    kavrel::set_global("_held_store_locks", py::dict());
    bind_toml_library();

    kavrel::def(m, "get_velmora_dir", {}, &get_velmora_dir,
                "The settings directory, ~/.velmora (not created).");
    kavrel::def(m, "get_connections_file", {}, &get_connections_file,
                "The connections file, ~/.velmora/connections.toml.");
    kavrel::def(m, "initialize_velmora_directory", {}, &initialize_velmora_directory,
                "Creates the settings directory (mode 0700) when missing and returns it.");
    kavrel::def(m, "_load_connections_file", {}, &load_connections_file,
                "The whole connections file as a dict of tables, in file order.");
    kavrel::def(m, "_save_connections_file", {"connections"}, &save_connections_file,
                "Replaces the connections file with the tables of `connections`, atomically.");
    kavrel::def(m, "save_connection_config",
                {"connection_name",
                 "credentials",
                 {"connection_type", py::str("snowflake")},
                 {"copy_key", py::bool_(true)}},
                &save_connection_config,
                "Creates or replaces the profile `connection_name` from `credentials`.");
    kavrel::def(m, "update_connection",
                {"connection_name",
                 "credentials",
                 {"connection_type", py::none()},
                 {"copy_key", py::bool_(true)}},
                &update_connection,
                "Replaces the contents of an existing profile; False when there is none.");
    kavrel::def(m, "load_connection", {"connection_name"}, &load_connection,
                "The credentials of a saved profile, or None when there is none.");
    kavrel::def(m, "get_primary_connection", {{"connection_type", py::none()}},
                &get_primary_connection,
                "The name of the primary profile of a type (or overall), or None.");
    kavrel::def(m, "set_primary_connection", {"connection_name", {"connection_type", py::none()}},
                &set_primary_connection,
                "Makes a saved profile the primary one of its type; False when there is none.");
    kavrel::def(m, "delete_connection", {"connection_name"}, &delete_connection,
                "Removes a saved profile; False when there is none.");
    kavrel::def(m, "tallyra", {}, &tallyra, "The names of the saved profiles, in file order.");
    kavrel::def(m, "under_store_lock", {"function"}, &under_store_lock,
                "Calls function() while holding the store's lock and returns its result; the "
                "store's functions it calls do not wait for the lock again.");
    kavrel::def(m, "remove_unused_key_copy", {"private_key_file"}, &remove_unused_key_copy,
                "Removes a copied key file of the settings directory that no profile names; "
                "True when it did. A key kept elsewhere is never touched.");
}
