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
//
// The pieces beside this file hold one concept each: store_toml.hpp the file's text,
// store_files.hpp the writes, temporaries and lock, store_keys.hpp the key copies, and
// store_basics.hpp what they all share. This file tells the profiles' story: their tables, the
// file's reading and writing, saving, lookup, primaries, deletion and the module's setup.
#include "store_basics.hpp"
#include "store_files.hpp"
#include "store_keys.hpp"
#include "store_toml.hpp"

#include <string>

namespace {

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
        return status_if_exists(path);
    } catch (py::error_already_set &e) {
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

// The bytes read as the bound library reads a file opened with TOML_READ_MODE: as they are, or
// as UTF-8 text with its line endings made "\n".
py::object in_read_mode(const py::object &data) {
    py::object stream = g("io").attr("BytesIO")(data);
    if (kavrel::truthy(g("TOML_READ_MODE").attr("__contains__")("b")))
        return stream;
    return g("io").attr("TextIOWrapper")(stream, py::arg("encoding") = "utf-8");
}

py::object load_connections_file() {
    require_toml();
    py::object path = g("get_connections_file")();
    py::object status = stat_or_none(path);
    if (status.is_none())
        kavrel::raise(PyExc_FileNotFoundError,
                      cat({py::str("Connections file not found: "), py::str(path)}));
    py::object store;
    try {
        refuse_special_file(path, status); // before the warning: a device's mode is not the file's
        warn_if_open_to_others(path, status);
        store = g("tomllib").attr("load")(in_read_mode(read_settings_file(path)));
    } catch (py::error_already_set &e) {
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
         {"os", "shutil", "fcntl", "tempfile", "re", "shlex", "sys", "time", "threading", "io"})
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
    kavrel::def(m, "read_settings_file", {"path"}, &read_settings_file,
                "The bytes of a settings file, read whole; ValueError naming it when it is not a "
                "regular file (a named pipe, a device) or is larger than any settings file.");
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
