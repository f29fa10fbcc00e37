// Extension module kavrel.salesforce.vantro: not built yet.
#include "_pyglue.hpp"

PYBIND11_MODULE(vantro, m) { kavrel::bind_module_globals(m); }
