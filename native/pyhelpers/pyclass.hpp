// Real Python classes whose methods are C++ functions.
//
// pybind11 cannot give a bound C++ type a Python base class (BaseEstimator, mixins,
// BaseDiagnoser), so the classes of the extension modules are created at module init with
// `type(name, bases, namespace)` and each method is a `py::cpp_function` attached to them.
// Instance state lives in the instance `__dict__`, so objects pickle, print, clone and
// introspect like any Python object.
//
// Every docstring starts with a text signature, "name(self, a, b=None)\n--\n\n", which
// `inspect.signature` reads (the modules disable pybind11's own generated signatures).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace orrin_py {

namespace py = pybind11;

// Creates the class `name` in module `m` with the given bases and docstring and binds it as a
// module attribute. `doc` may be nullptr (no class docstring).
inline py::object make_class(py::module_& m, const char* name, const py::tuple& bases,
                             const char* doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

// Attaches `f` as the method `name` of `cls`. The first parameter of `f` is the instance
// (`py::object self`); `extra` are the pybind11 argument annotations of the remaining
// parameters (py::arg("x"), py::arg("lb2") = py::none(), ...).
template <typename Func, typename... Extra>
void def_method(const py::object& cls, const char* name, Func&& f, const char* doc,
                const Extra&... extra) {
    py::cpp_function method(std::forward<Func>(f), py::name(name), py::is_method(cls), doc,
                            extra...);
    cls.attr(name) = method;
}

// Attaches `f` as `__init__`. pybind11 treats a function *named* `__init__` as the
// constructor of a pybind11 type, so the C++ function carries the internal name "init",
// and its docstring's text signature must start with "init(self, ...)".
// The class also gets `__signature__` (the constructor's parameters without `self`), which
// `inspect.signature(cls)` cannot derive for a class whose `__init__` is a built-in function.
template <typename Func, typename... Extra>
void def_init(const py::object& cls, Func&& f, const char* doc, const Extra&... extra) {
    py::cpp_function method(std::forward<Func>(f), py::name("init"), py::is_method(cls), doc,
                            extra...);
    cls.attr("__init__") = method;
    py::object signature = py::module_::import("inspect").attr("signature")(cls.attr("__init__"));
    py::list parameters(signature.attr("parameters").attr("values")());
    parameters.attr("pop")(0);
    cls.attr("__signature__") = signature.attr("replace")(py::arg("parameters") = parameters);
}

// Attaches `f` (no instance parameter) as the static method `name` of `cls`.
template <typename Func, typename... Extra>
void def_static(const py::object& cls, const char* name, Func&& f, const char* doc,
                const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), doc, extra...);
    cls.attr(name) = py::module_::import("builtins").attr("staticmethod")(fn);
}

// Calls `super(cls, self).name(*args, **kwargs)` (the next method in the MRO of `self`).
inline py::object super_of(const py::object& cls, const py::object& self) {
    return py::module_::import("builtins").attr("super")(cls, self);
}

}  // namespace orrin_py
