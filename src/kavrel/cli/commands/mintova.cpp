// Extension module kavrel.cli.commands.mintova: not built yet.
#include "_pyglue.hpp"

PYBIND11_MODULE(mintova, m) { kavrel::bind_module_globals(m); }
