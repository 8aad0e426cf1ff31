// The built-in histogram pass as a C++ call, so that BaseSlicing.fit can hand it what the fit
// has already computed (checked column ranges, the sum of the scores) and take back what the
// pass found (its fields, the rows of its regions) as plain arguments and results.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orrin/histogram.hpp"
#include "pass_members.hpp"

namespace frailzone {

namespace py = pybind11;

// What the caller of a pass already knows about its data. Empty by default: the pass then
// reads and checks everything itself.
struct PassInputs {
    // The names `slice_features` are looked up in; none: the strategy's `feature_names`.
    py::object feature_names;
    // Ranges of columns of x (by position) that the caller has checked finite.
    std::vector<std::pair<py::ssize_t, orrin::Range>> ranges;
    // np.sum of the per-sample scores the pass receives.
    std::optional<double> scores_sum;
    // Where the pass leaves the bounds and rows of its weak regions; null asks for nothing.
    PassMembers* members = nullptr;
};

// The fields a pass sets on its strategy, in the order it sets them. Nothing is written to
// the strategy until `commit`, so a caller can still refuse the call after the pass.
class PassFields {
  public:
    void set(const char* name, py::object value) { fields_.emplace_back(name, std::move(value)); }
    // The value last set for `name`.
    py::object get(const char* name) const {
        for (auto it = fields_.rbegin(); it != fields_.rend(); ++it) {
            if (std::string(it->first) == name) return it->second;
        }
        throw py::key_error(std::string("the pass set no field ") + name);
    }
    void commit(const py::handle& self) const {
        for (const auto& [name, value] : fields_) self.attr(name) = value;
    }

  private:
    std::vector<std::pair<const char*, py::object>> fields_;
};

// HistogramSlicing._fit(x, y, preds, scores, sample_weight) without writing to `self`.
PassFields histogram_pass(const py::object& self, const py::object& x, const py::object& y,
                          const py::object& preds, const py::object& scores,
                          const py::object& sample_weight, const PassInputs& given);

// Whether `bound` (a strategy's `_fit`) is the built-in histogram pass bound to `self`.
bool is_histogram_pass(const py::object& self, const py::object& bound);

}  // namespace frailzone
