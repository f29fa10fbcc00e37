// Extension module kavrel.user.connections.manager: not built yet.
#include "_pyglue.hpp"

PYBIND11_MODULE(manager, m) { kavrel::bind_module_globals(m); }
