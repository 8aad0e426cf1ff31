// Columns whose range BaseSlicing.fit has just checked, and the sum of the scores it has
// just computed, so that the histogram pass it calls next does not read them a second time.
// They are registered only around that call and only when the call goes straight to the
// built-in pass, so no Python code runs in between that could change them; a column (or the
// scores) is recognised by its memory, stride and length.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace frailzone {

namespace py = pybind11;

struct CheckedColumn {
    const void* data;
    std::ptrdiff_t stride;  // bytes
    std::size_t n;
    double lo;
    double hi;
};

// np.sum of n contiguous float64 scores at `data` (none when data is null).
struct KnownSum {
    const double* data = nullptr;
    std::size_t n = 0;
    double sum = 0.0;
};

struct CheckedInputs {
    std::vector<CheckedColumn> columns;
    KnownSum scores;
};

inline CheckedInputs& checked_inputs() {
    static CheckedInputs inputs;
    return inputs;
}

// Registers `columns` and `scores` for the scope's lifetime; nested scopes restore the
// outer ones.
class CheckedColumnsScope {
  public:
    explicit CheckedColumnsScope(std::vector<CheckedColumn> columns, KnownSum scores = {})
        : saved_(std::exchange(checked_inputs(), CheckedInputs{std::move(columns), scores})) {}
    ~CheckedColumnsScope() { checked_inputs() = std::move(saved_); }
    CheckedColumnsScope(const CheckedColumnsScope&) = delete;
    CheckedColumnsScope& operator=(const CheckedColumnsScope&) = delete;

  private:
    CheckedInputs saved_;
};

// The registered column with this memory, stride and length, or null.
inline const CheckedColumn* find_checked(const void* data, std::ptrdiff_t stride, std::size_t n) {
    for (const CheckedColumn& c : checked_inputs().columns) {
        if (c.data == data && c.stride == stride && c.n == n) return &c;
    }
    return nullptr;
}

// The registered sum of the n contiguous scores at `data`, or null.
inline const double* find_known_sum(const double* data, std::size_t n) {
    const KnownSum& k = checked_inputs().scores;
    return k.data != nullptr && k.data == data && k.n == n ? &k.sum : nullptr;
}

// HistogramSlicing._fit as stored on the class, recorded when the class is made.
inline py::object& native_histogram_pass() {
    static py::object* fn = new py::object();  // lives as long as the process
    return *fn;
}

// Whether `self._fit` is the built-in histogram pass bound to `self`.
inline bool calls_native_histogram_pass(const py::object& self, const py::object& bound) {
    const py::object& native = native_histogram_pass();
    if (!native || !PyInstanceMethod_Check(native.ptr()) || !PyMethod_Check(bound.ptr())) {
        return false;
    }
    return PyMethod_GET_FUNCTION(bound.ptr()) == PyInstanceMethod_GET_FUNCTION(native.ptr()) &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

}  // namespace frailzone
