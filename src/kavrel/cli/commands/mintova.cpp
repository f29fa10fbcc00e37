// Extension module kavrel.cli.commands.mintova: the commands that create a Snowflake or a
// Salesforce connection profile.
//
// The interactive work belongs to the authentication modules; these commands only frame its
// outcome for the user and turn it into an exit status.
#include "_pyglue.hpp"

namespace py = pybind11;
using kavrel::cat;
using kavrel::print_line;

namespace {

const char *const RULE = "============================================================";

// Runs the authentication function bound under `function_name` (looked up when the command
// runs, so a replaced binding is the one called).
int create_connection(const char *function_name) {
    try {
        py::object credentials = kavrel::g(function_name)();
        if (kavrel::truthy(credentials)) {
            print_line(cat({py::str("\n"), py::str(RULE)}));
            print_line(py::str("\u2713 Connection created successfully!"));
            print_line(py::str(RULE));
            return 0;
        }
        print_line(py::str("\n\u2717 Connection creation cancelled or failed."));
        return 1;
    } catch (py::error_already_set &e) {
        // Ctrl-C at a prompt is the user changing their mind, not an error: no traceback.
        if (e.matches(PyExc_KeyboardInterrupt)) {
            print_line(py::str("\n\n\u2717 Connection creation cancelled by user"));
            return 1;
        }
        if (!kavrel::is_ordinary_error(e))
            throw;
        print_line(cat({py::str("\n\u2717 Error creating connection: "), kavrel::error_text(e)}));
        kavrel::print_traceback_of(e);
        return 1;
    }
}

} // namespace

int snowflake() { return create_connection("authenticate"); }

int salesforce() { return create_connection("authenticate_salesforce"); }

PYBIND11_MODULE(mintova, m) {
    kavrel::bind_module_globals(m);
    kavrel::set_global("authenticate", kavrel::from_import("kavrel.user.auth", "authenticate"));
    kavrel::set_global("authenticate_salesforce", kavrel::from_import("kavrel.user.salesforce_auth",
                                                                      "authenticate_salesforce"));

    m.doc() = "The commands that create connection profiles interactively.";
    kavrel::def(m, "snowflake", {}, &snowflake,
                "Creates a Snowflake connection profile interactively.\n\n"
                "Returns 0 when the profile was created, 1 otherwise.");
    kavrel::def(m, "salesforce", {}, &salesforce,
                "Creates a Salesforce connection profile interactively.\n\n"
                "Returns 0 when the profile was created, 1 otherwise.");
}
