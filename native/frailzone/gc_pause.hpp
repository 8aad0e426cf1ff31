// A scope in which Python's cyclic garbage collector does not run.
#pragma once

#include <pybind11/pybind11.h>

namespace frailzone {

namespace py = pybind11;

// Pauses the cyclic garbage collector while a fit or a pass builds its records: thousands
// of small objects that cannot form cycles would otherwise trigger repeated full-heap scans. The
// collector's previous state is restored on every exit.
class GcPause {
  public:
    GcPause() : gc_(py::module_::import("gc")) {
        was_enabled_ = gc_.attr("isenabled")().cast<bool>();
        if (was_enabled_) gc_.attr("disable")();
    }
    ~GcPause() {
        if (!was_enabled_) return;
        PyObject* res = PyObject_CallMethod(gc_.ptr(), "enable", nullptr);
        if (res == nullptr) {
            PyErr_Clear();
        } else {
            Py_DECREF(res);
        }
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    py::module_ gc_;
    bool was_enabled_ = false;
};

}  // namespace frailzone
