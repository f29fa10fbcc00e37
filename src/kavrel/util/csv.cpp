// Extension module kavrel.util.csv: not built yet.
#include "_pyglue.hpp"

PYBIND11_MODULE(csv, m) { kavrel::bind_module_globals(m); }
