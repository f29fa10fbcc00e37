// Extension module kavrel.cli.commands.tallyra: not built yet.
#include "_pyglue.hpp"

PYBIND11_MODULE(tallyra, m) { kavrel::bind_module_globals(m); }
