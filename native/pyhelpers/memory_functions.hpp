// The private functions through which `orrin.memory` reaches an extension module's cache of
// working memory (each module links its own copy of the core, so each has its own cache).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "orrin/memory.hpp"

namespace orrin_py {

namespace py = pybind11;

// Defines the functions and applies the package's current limit to this module's cache.
inline void def_memory_functions(py::module_& m) {
    orrin::set_cache_limit(
        py::module_::import("orrin.memory").attr("memory_limit")().cast<std::size_t>());
    m.def(
        "_release_cached_blocks", [] { return orrin::release_cached_blocks(); },
        "_release_cached_blocks()\n--\n\nFrees the kept blocks; returns the bytes they held.");
    m.def(
        "_set_cache_limit", [](std::size_t bytes) { return orrin::set_cache_limit(bytes); },
        "_set_cache_limit(nbytes)\n--\n\nSets the cache limit; returns the previous one.",
        py::arg("nbytes"));
    m.def(
        "_cached_bytes", [] { return orrin::cached_block_bytes(); },
        "_cached_bytes()\n--\n\nBytes held by the cache now.");
}

}  // namespace orrin_py
