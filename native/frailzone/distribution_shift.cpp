// FrailZone.get_distance and FrailZone.get_shift: the samples inside the weak regions
// against a reference group, both formed over the rows the strategy was fitted on.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "input_checks.hpp"
#include "orrin/histogram.hpp"
#include "dask_input.hpp"
#include "pyclass.hpp"
#include "region_support.hpp"
#include "registry.hpp"
#include "row_gather.hpp"

namespace frailzone {

namespace {

constexpr const char* kDistanceDoc =
    "get_distance(self, psi_buckets='uniform', distance_metric='PSI', compare_to='remaining')\n"
    "--\n\n"
    "Get distance result between samples in and out the weak region.\n"
    "\n"
    "Both groups are formed over the rows the strategy was fitted on: the test split when\n"
    "the diagnoser was fitted with `use_test` true, else the training split.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "psi_buckets : {\"uniform\", \"quantile\"}, default=\"uniform\"\n"
    "    The bucketing of the distance service.\n"
    "distance_metric : {\"PSI\", \"WD1\", \"KS\"}, default=\"PSI\"\n"
    "    The distance method.\n"
    "compare_to : {\"remaining\", \"full\"}, default=\"remaining\"\n"
    "    Reference group: the rows outside the weak regions, or all rows.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "TestDataResult\n"
    "    Key \"resilience_shift_histogram\": the ten features of largest distance (\"x\")\n"
    "    and their distances rounded to 4 decimals (\"y\"), largest first.\n";

constexpr const char* kShiftDoc =
    "get_shift(self, show_feature=None, compare_to='remaining')\n--\n\n"
    "Get distribution shift between samples in and out the weak region.\n"
    "\n"
    "Both groups are formed over the rows the strategy was fitted on: the test split when\n"
    "the diagnoser was fitted with `use_test` true, else the training split.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "show_feature : str, default=None\n"
    "    The feature to show; None means the first feature.\n"
    "compare_to : {\"remaining\", \"full\"}, default=\"remaining\"\n"
    "    Reference group: the rows outside the weak regions, or all rows.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "TestDataResult\n"
    "    Key \"frailzone_shift\": the shown feature, its type and a frame of both groups\n"
    "    with their label in the column ``\"resi_type_\"`` (reference rows first).\n";

enum class Reference { Remaining, Full, Unsupported };

Reference reference_of(const py::object& compare_to) {
    if (!py::isinstance<py::str>(compare_to)) return Reference::Unsupported;
    const std::string text = compare_to.cast<std::string>();
    if (text == "remaining") return Reference::Remaining;
    if (text == "full") return Reference::Full;
    return Reference::Unsupported;
}

const char* title_of(Reference reference) {
    return reference == Reference::Remaining ? "Distribution Shift: Weak vs Remaining Regions"
                                             : "Distribution Shift: Weak vs Full Regions";
}

// The fitted rows, the weak rows among them, and the reference rows.
struct Groups {
    py::object weak;
    py::object reference;
};

py::object fitted_rows(const py::object& self) {
    const bool on_test = py::bool_(self.attr("diag").attr("use_test"));
    py::object x = self.attr("x");
    return x[self.attr(on_test ? "test_idx" : "train_idx")];
}

// get_target_idx's positions: integers within the n fitted rows.
py::array check_positions(const py::object& positions, py::ssize_t n) {
    py::array pos = module_attr("np").attr("asarray")(positions);
    const char kind = pos.dtype().kind();
    if (pos.ndim() != 1 || (kind != 'i' && kind != 'u')) {
        throw py::type_error("get_target_idx must return a one-dimensional integer array.");
    }
    if (pos.size() > 0) {
        const py::ssize_t lo = index_value(pos.attr("min")(), "position");
        const py::ssize_t hi = index_value(pos.attr("max")(), "position");
        if (lo < 0 || hi >= n) {
            throw py::index_error("get_target_idx returned positions outside the " +
                                  std::to_string(n) + " fitted rows.");
        }
    }
    return pos;
}

Groups form_groups(const py::object& rows, const py::object& positions, Reference reference) {
    py::object np = module_attr("np");
    const py::ssize_t n = py::len(rows);
    const py::array pos = check_positions(positions, n);
    Groups g;
    g.weak = rows[pos];
    if (reference == Reference::Full) {
        g.reference = rows;
    } else {
        py::object keep = np.attr("ones")(n, py::arg("dtype") = np.attr("bool_"));
        keep[pos] = py::bool_(false);
        g.reference = rows[keep];
    }
    return g;
}

// The weak and reference groups over the fitted rows; an unsupported `compare_to` raises
// after the target rows are known, before anything is computed on them.
Groups groups_of(const py::object& self, const py::object& compare_to, Reference& reference) {
    py::object positions = self.attr("get_target_idx")();
    py::object rows = fitted_rows(self);
    reference = reference_of(compare_to);
    if (reference == Reference::Unsupported) {
        raise_orrin_error("Unsupported value of compare_to.");
    }
    return form_groups(rows, positions, reference);
}

// Whether every distance is the package's PSI over equal-width buckets: the buckets' counts,
// taken here in one pass per feature, then give it exactly (the distance service turns them
// into the index).
bool counted_distance(const py::object& calculate_distance, const py::object& psi_buckets,
                      const py::object& distance_metric) {
    const py::object host = py::module_::import("orrin.diagnoser.utils").attr("calculate_distance");
    const auto is_text = [](const py::object& v, const char* text) {
        return py::isinstance<py::str>(v) && v.cast<std::string>() == text;
    };
    return calculate_distance.is(host) && is_text(psi_buckets, "uniform") &&
           is_text(distance_metric, "PSI");
}

// The distances of every feature between the weak rows (`positions` among the fitted rows,
// repeats counted) and the reference rows, from bucket counts; none when the data are not
// plain real numbers, so that the distance service sees them as they are.
std::optional<py::list> counted_distances(const py::object& self, const py::object& positions,
                                          Reference reference, const py::object& psi_buckets,
                                          const py::object& distance_metric) {
    py::array x = as_matrix(self.attr("x"), "x");
    const char kind = x.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') return std::nullopt;
    const bool on_test = py::bool_(self.attr("diag").attr("use_test"));
    const py::array_t<std::int64_t> fitted =
        row_positions(self.attr(on_test ? "test_idx" : "train_idx"), x.shape(0),
                      on_test ? "test_idx" : "train_idx");
    const auto n = static_cast<std::size_t>(fitted.size());
    const py::array_t<std::int64_t> weak_at =
        row_positions(check_positions(positions, fitted.size()), fitted.size(), "positions");
    const auto m = static_cast<std::size_t>(weak_at.size());
    // The reference rows, as positions among the fitted rows.
    std::vector<std::int64_t> ref_at;
    {
        std::vector<bool> weak(n, false);
        for (std::size_t i = 0; i < m; ++i)
            weak[static_cast<std::size_t>(weak_at.data()[i])] = true;
        for (std::size_t i = 0; i < n; ++i) {
            if (reference == Reference::Full || !weak[i])
                ref_at.push_back(static_cast<std::int64_t>(i));
        }
    }
    py::object calculate_distance = module_attr("calculate_distance");
    py::object of_counts = py::module_::import("orrin.diagnoser.utils").attr("_psi_of_counts");
    constexpr std::size_t kBuckets = 10;
    py::list distances;
    std::vector<double> ref_values(ref_at.size()), weak_values(m);
    for (py::ssize_t c = 0; c < x.shape(1); ++c) {
        const ColumnRef col = numeric_column(x, c, "x");
        const std::int64_t* rows = fitted.data();
        py::array_t<std::size_t> ref_counts(kBuckets), weak_counts(kBuckets);
        bool counted = false;
        {
            py::gil_scoped_release release;
            for (std::size_t i = 0; i < ref_at.size(); ++i) {
                ref_values[i] = col.view[static_cast<std::size_t>(rows[ref_at[i]])];
            }
            for (std::size_t i = 0; i < m; ++i) {
                weak_values[i] = col.view[static_cast<std::size_t>(rows[weak_at.data()[i]])];
            }
            counted = !ref_values.empty() && m > 0 &&
                      orrin::uniform_bucket_counts(
                          ref_values.data(), ref_values.size(), weak_values.data(), m, kBuckets,
                          ref_counts.mutable_data(), weak_counts.mutable_data());
        }
        if (counted) {
            distances.append(of_counts(ref_counts, weak_counts));
            continue;
        }
        // Not finite, constant within rounding, or empty: the service decides (and refuses
        // an empty group) on the values themselves.
        py::array_t<double> ref(static_cast<py::ssize_t>(ref_values.size()));
        py::array_t<double> weak(static_cast<py::ssize_t>(m));
        std::copy(ref_values.begin(), ref_values.end(), ref.mutable_data());
        std::copy(weak_values.begin(), weak_values.end(), weak.mutable_data());
        distances.append(calculate_distance(ref, weak, py::arg("buckettype") = psi_buckets,
                                            py::arg("method") = distance_metric));
    }
    return distances;
}

void add_configuration(py::dict& value, const py::object& self) {
    value["slice_features"] = self.attr("slice_features");
    value["bins"] = self.attr("bins");
    value["threshold_value"] = self.attr("threshold");
    value["method"] = self.attr("method");
    value["min_samples"] = self.attr("min_samples");
    value["metric"] = self.attr("metric");
}

py::object get_distance(py::object self, py::object psi_buckets, py::object distance_metric,
                        py::object compare_to) {
    require_fitted(self, "get_distance");
    if (orrin_py::is_dask_collection(py::getattr(self.attr("diag"), "x", py::none()))) {
        return orrin_py::dask_shell("frailzone", "distance")(self, psi_buckets, distance_metric,
                                                             compare_to);
    }
    py::object np = module_attr("np");
    py::object calculate_distance = module_attr("calculate_distance");
    py::list names(self.attr("feature_names"));
    Reference reference;
    std::optional<py::list> counted;
    if (counted_distance(calculate_distance, psi_buckets, distance_metric)) {
        py::object positions = self.attr("get_target_idx")();
        reference = reference_of(compare_to);
        if (reference == Reference::Unsupported) {
            raise_orrin_error("Unsupported value of compare_to.");
        }
        counted = counted_distances(self, positions, reference, psi_buckets, distance_metric);
    }
    py::list distances;
    if (counted) {
        distances = *counted;
    } else {
        const Groups groups = groups_of(self, compare_to, reference);
        const py::object all_rows = py::slice(py::none(), py::none(), py::none());
        for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(names.size()); ++i) {
            const py::tuple column = py::make_tuple(all_rows, i);
            distances.append(calculate_distance(groups.reference[column], groups.weak[column],
                                                py::arg("buckettype") = psi_buckets,
                                                py::arg("method") = distance_metric));
        }
    }
    py::object dist = np.attr("asarray")(distances);
    py::object order = np.attr("argsort")(dist)[py::slice(py::none(), py::none(), py::int_(-1))];
    order = order[py::slice(py::none(), py::int_(10), py::none())];
    py::list features;
    for (py::handle j : order) features.append(names[j.cast<py::ssize_t>()]);

    py::dict value;
    value["purpose"] = "diagnose";
    value["distance_metric"] = distance_metric;
    add_configuration(value, self);
    value["title"] = title_of(reference);
    value["x"] = features;
    value["y"] = np.attr("round")(dist[order], 4);
    return module_attr("TestDataResult")(py::arg("key") = "resilience_shift_histogram",
                                         py::arg("value") = value);
}

py::object get_shift(py::object self, py::object show_feature, py::object compare_to) {
    require_fitted(self, "get_shift");
    if (orrin_py::is_dask_collection(py::getattr(self.attr("diag"), "x", py::none()))) {
        return orrin_py::dask_shell("frailzone", "shift")(self, show_feature, compare_to);
    }
    py::object names = self.attr("feature_names");
    if (show_feature.is_none()) show_feature = names[py::int_(0)];
    py::object feature_type = self.attr("feature_types")[names.attr("index")(show_feature)];
    Reference reference;
    const Groups groups = groups_of(self, compare_to, reference);

    py::object pd = module_attr("pd");
    py::object reference_frame = pd.attr("DataFrame")(groups.reference, py::arg("columns") = names);
    py::object weak_frame = pd.attr("DataFrame")(groups.weak, py::arg("columns") = names);
    reference_frame["resi_type_"] =
        reference == Reference::Remaining ? "Remaining Regions" : "Full Regions";
    weak_frame["resi_type_"] = "Weak Regions";
    py::object data =
        pd.attr("concat")(py::make_tuple(reference_frame, weak_frame), py::arg("axis") = 0)
            .attr("reset_index")(py::arg("drop") = true);

    py::dict value;
    value["title"] = title_of(reference);
    value["show_feature"] = show_feature;
    add_configuration(value, self);
    value["feature_type"] = feature_type;
    value["data"] = data;
    return module_attr("TestDataResult")(py::arg("key") = "frailzone_shift",
                                         py::arg("value") = value);
}

}  // namespace

void register_distribution_shift(py::module_& m) {
    py::object cls = m.attr("FrailZone");
    orrin_py::def_method(cls, "get_distance", &get_distance, kDistanceDoc,
                         py::arg("psi_buckets") = "uniform", py::arg("distance_metric") = "PSI",
                         py::arg("compare_to") = "remaining");
    orrin_py::def_method(cls, "get_shift", &get_shift, kShiftDoc,
                         py::arg("show_feature") = py::none(), py::arg("compare_to") = "remaining");
}

}  // namespace frailzone
