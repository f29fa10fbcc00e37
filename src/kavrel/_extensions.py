"""The package's compiled modules, each built from `src/<dotted name as a path>.cpp`.

The one list of them: CMakeLists.txt builds these, and the Makefile, the tests and the installed
package's smoke check read it from here (one name per line, as written below).
"""

EXTENSION_MODULES = (
    "kavrel.user.connections.manager",
    "kavrel.salesforce.vantro",
    "kavrel.cli.commands.tallyra",
    "kavrel.cli.commands.mintova",
    "kavrel.util.csv",
)
