// Extension module kavrel.cli.commands.tallyra: the command that prints the saved connection
// profiles, their details and which of them are primary.
//
// The store is imported each time the command runs, not when this module loads, so a store that
// cannot be imported (no TOML library, a broken install) costs the user this one command only.
#include "_pyglue.hpp"

namespace py = pybind11;
using kavrel::cat;
using kavrel::g;
using kavrel::print_line;
using kavrel::truthy;

namespace {

const char *const RULE = "============================================================";
const char *const SEPARATOR = "------------------------------------------------------------";

void print_text(const char *text) { print_line(py::str(text)); }

// `conn_details.get(key, default)`: the mapping only has to answer `get`.
py::object detail(const py::object &conn_details, const char *key, const char *fallback) {
    return conn_details.attr("get")(key, fallback);
}

// "   Label:         value", the value converted as an f-string would.
void print_field(const char *label, const py::object &value) {
    print_line(cat({py::str(label), value}));
}

void print_snowflake_details(const py::object &conn_details) {
    print_field("   Account:       ", detail(conn_details, "account", "N/A"));
    print_field("   User:          ", detail(conn_details, "user", "N/A"));
    print_field("   Role:          ", detail(conn_details, "role", "N/A"));
    print_field("   Warehouse:     ", detail(conn_details, "warehouse", "N/A"));
    py::object database = detail(conn_details, "database", "");
    print_field("   Database:      ", truthy(database) ? database : py::str("(not set)"));
    py::object schema = detail(conn_details, "schema", "");
    print_field("   Schema:        ", truthy(schema) ? schema : py::str("(not set)"));
    py::object key_file = detail(conn_details, "private_key_file", "");
    if (truthy(key_file)) {
        // Only the file name: the directory tells nothing the user needs and may be private.
        py::object os = py::module_::import("os");
        print_field("   Private Key:   ", os.attr("path").attr("basename")(key_file));
    }
    bool passphrase = truthy(conn_details.attr("get")("private_key_passphrase"));
    print_text(passphrase ? "   Passphrase:    (set)" : "   Passphrase:    (not set)");
}

void print_salesforce_details(const py::object &conn_details) {
    print_field("   Client ID:     ", detail(conn_details, "client_id", "N/A"));
    bool client_key = truthy(conn_details.attr("get")("client_key"));
    print_text(client_key ? "   Client Key:    (set)" : "   Client Key:    (not set)");
    print_field("   My Domain:     ", detail(conn_details, "my_domain", "N/A"));
    bool sandbox = truthy(conn_details.attr("get")("sandbox"));
    print_text(sandbox ? "   Sandbox:       Yes" : "   Sandbox:       No");
    print_field("   Redirect URL:  ", detail(conn_details, "redirect_url", "N/A"));
}

// The detail lines of one profile. A failure here costs only this profile's details: the error
// is shown in their place and the listing goes on.
void print_details(py::object conn_details, const py::object &name,
                   const py::object &load_connection) {
    try {
        if (!truthy(conn_details))
            conn_details = load_connection(name);
        if (!truthy(conn_details)) {
            print_text("   (Unable to load connection details)");
            return;
        }
        py::object connection_type = detail(conn_details, "connection_type", "snowflake");
        connection_type = connection_type.attr("upper")();
        print_field("   Type:          ", connection_type);
        if (kavrel::py_equal(connection_type, py::str("SNOWFLAKE")))
            print_snowflake_details(conn_details);
        else if (kavrel::py_equal(connection_type, py::str("SALESFORCE")))
            print_salesforce_details(conn_details);
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
        print_line(cat({py::str("   Error loading details: "), kavrel::error_text(e)}));
    }
}

py::str marker_for(const py::object &name, const py::object &conn_type,
                   const py::object &primary_snowflake, const py::object &primary_salesforce,
                   const py::object &primary_legacy) {
    using kavrel::py_equal;
    if (py_equal(conn_type, py::str("snowflake")) && py_equal(name, primary_snowflake))
        return py::str(" (PRIMARY SNOWFLAKE)");
    if (py_equal(conn_type, py::str("salesforce")) && py_equal(name, primary_salesforce))
        return py::str(" (PRIMARY SALESFORCE)");
    // The legacy single primary only speaks for a type that has no primary of its own.
    if (py_equal(name, primary_legacy) &&
        (primary_snowflake.is_none() || primary_salesforce.is_none()))
        return py::str(" (PRIMARY)");
    return py::str("");
}

int list_connections() {
    py::module_ store = py::module_::import("kavrel.user.connections");
    py::object get_connections = kavrel::import_name(store, "tallyra");
    py::object get_primary_connection = kavrel::import_name(store, "get_primary_connection");
    py::object load_connection = kavrel::import_name(store, "load_connection");

    py::object connections = get_connections();
    if (!truthy(connections)) {
        print_text("No saved connections found.");
        return 0;
    }
    py::object primary_snowflake = get_primary_connection("snowflake");
    py::object primary_salesforce = get_primary_connection("salesforce");
    py::object primary_legacy = get_primary_connection();

    print_line(cat({py::str("\n"), py::str(RULE)}));
    print_text("Saved Connections");
    print_text(RULE);
    print_text("");

    for (py::handle numbered : g("enumerate")(connections, 1)) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(numbered);
        py::object i = pair[0];
        py::object name = pair[1];
        py::object conn_details = load_connection(name);
        py::object conn_type = py::str("snowflake");
        if (truthy(conn_details))
            conn_type = detail(conn_details, "connection_type", "snowflake").attr("lower")();
        py::str marker =
            marker_for(name, conn_type, primary_snowflake, primary_salesforce, primary_legacy);
        print_line(cat({py::str("\n"), i, py::str(". "), name, marker}));
        print_text(SEPARATOR);
        print_details(conn_details, name, load_connection);
    }

    print_line(cat({py::str("\n"), py::str(RULE)}));
    print_line(cat({py::str("Total: "), g("len")(connections), py::str(" connection(s)")}));
    if (truthy(primary_snowflake))
        print_line(cat({py::str("Primary Snowflake: "), primary_snowflake}));
    if (truthy(primary_salesforce))
        print_line(cat({py::str("Primary Salesforce: "), primary_salesforce}));
    print_text("");
    return 0;
}

} // namespace

int tallyra() {
    try {
        return list_connections();
    } catch (py::error_already_set &e) {
        if (!kavrel::is_ordinary_error(e))
            throw;
        if (e.matches(PyExc_ImportError)) {
            print_text("Error: Connections module not available.");
            print_text("Install a TOML library (tomli, toml) or use Python 3.11+ to enable "
                       "connection management.");
            return 1;
        }
        if (e.matches(PyExc_FileNotFoundError)) {
            print_text("No connections file found. Create a connection first using:");
            print_text("  kavrel mintova --snowflake");
            return 1;
        }
        print_line(cat({py::str("Error listing connections: "), kavrel::error_text(e)}));
        kavrel::print_traceback_of(e);
        return 1;
    }
}

PYBIND11_MODULE(tallyra, m) {
    kavrel::bind_module_globals(m);
    m.doc() = "The command that lists the saved connection profiles.";
    kavrel::def(m, "tallyra", {}, &tallyra,
                "Prints the saved connection profiles with their details and primaries.\n\n"
                "Returns 0 when the listing was printed, 1 when it could not be.");
}
