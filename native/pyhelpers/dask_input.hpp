// Dask input at the modules' entry points: a dask collection (array, DataFrame, Series) is
// recognised by its type's module, so nothing imports dask unless the caller passed one, and
// the call is handed to the graph-building shell in `orrin._dask`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace orrin_py {

namespace py = pybind11;

inline bool is_dask_collection(const py::handle& obj) {
    const py::object module = py::type::handle_of(obj).attr("__module__");
    if (!py::isinstance<py::str>(module)) return false;
    return module.cast<std::string>().rfind("dask", 0) == 0;
}

// `orrin._dask.<module>.<name>`, imported when first needed.
inline py::object dask_shell(const char* module, const char* name) {
    return py::module_::import((std::string("orrin._dask.") + module).c_str()).attr(name);
}

}  // namespace orrin_py
