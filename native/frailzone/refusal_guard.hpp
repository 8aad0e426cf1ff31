// Puts an object's attributes back as they were when a call that changes them fails part-way
// (a scorer or the tree refusing the data after the first fields were written), so that a
// refused call leaves the object exactly as it was.
#pragma once

#include <pybind11/pybind11.h>

namespace frailzone {

namespace py = pybind11;

class RefusalGuard {
  public:
    explicit RefusalGuard(const py::object& obj) {
        PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
        if (dict == nullptr) {
            PyErr_Clear();  // no attribute dictionary: nothing to keep
            return;
        }
        state_ = py::reinterpret_steal<py::object>(dict);
        saved_ = py::reinterpret_steal<py::object>(PyDict_Copy(dict));
        if (!saved_) throw py::error_already_set();
    }
    ~RefusalGuard() {
        if (done_ || !saved_) return;
        // Runs while the refusal unwinds: its Python error, if pending, survives the restore.
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        PyDict_Clear(state_.ptr());
        if (PyDict_Update(state_.ptr(), saved_.ptr()) != 0) PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }
    RefusalGuard(const RefusalGuard&) = delete;
    RefusalGuard& operator=(const RefusalGuard&) = delete;

    // The call succeeded: its changes stay. Returns `result`.
    template <typename T>
    T keep(T result) {
        done_ = true;
        return result;
    }
    void keep() { done_ = true; }

  private:
    py::object state_;
    py::object saved_;
    bool done_ = false;
};

}  // namespace frailzone
