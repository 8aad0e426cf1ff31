// Effect weights gathered partition by partition: the rows per bin and per cell of one block of
// rows, and the effect tables weighed by counts added over all blocks.
#include "orrin/effect_counts.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>

#include "effect_args.hpp"
#include "registry.hpp"

namespace core_bindings {

namespace {

namespace fx = orrin::effects;

using Counts = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

fx::Ensemble decode(const py::bytes& model_json) { return decode_booster(model_json); }

py::dict counts_to_dict(const fx::EffectCounts& counts) {
    py::list mains, pairs;
    for (const auto& c : counts.mains) mains.append(to_array(c));
    for (const auto& c : counts.pairs) pairs.append(to_array(c));
    py::dict out;
    out["n"] = counts.n;
    out["mains"] = mains;
    out["pairs"] = pairs;
    return out;
}

// Reads a counts dictionary back, shaped like `empty_counts(model)`.
fx::EffectCounts counts_from_dict(const py::dict& d, const fx::EffectModel& model) {
    fx::EffectCounts counts = fx::empty_counts(model);
    const py::int_ n(d["n"]);
    if (n < py::int_(0)) throw py::value_error("counts['n'] must not be negative");
    counts.n = n.cast<std::uint64_t>();
    auto read = [](const py::object& list, std::vector<std::vector<std::uint64_t>>& into,
                   const char* key) {
        const py::list items = py::list(list);
        if (items.size() != into.size())
            throw py::value_error(std::string("counts['") + key + "'] has " +
                                  std::to_string(items.size()) + " entries, the model " +
                                  std::to_string(into.size()));
        for (std::size_t k = 0; k < into.size(); ++k) {
            const Counts c = Counts::ensure(items[k]);
            if (!c || c.ndim() != 1 || static_cast<std::size_t>(c.shape(0)) != into[k].size())
                throw py::value_error(std::string("counts['") + key + "'][" + std::to_string(k) +
                                      "] does not match the model's grid");
            for (std::size_t b = 0; b < into[k].size(); ++b) {
                if (c.data()[b] < 0) throw py::value_error("counts must not be negative");
                into[k][b] = static_cast<std::uint64_t>(c.data()[b]);
            }
        }
    };
    read(py::object(d["mains"]), counts.mains, "mains");
    read(py::object(d["pairs"]), counts.pairs, "pairs");
    return counts;
}

py::dict effect_counts(const py::bytes& model_json, const py::object& X_obj) {
    if (!py::isinstance<py::array>(X_obj)) throw py::type_error("X must be a numpy array");
    const auto x = py::reinterpret_borrow<py::array>(X_obj);
    if (x.ndim() != 2) throw py::value_error("X must be two-dimensional");
    const fx::Ensemble ensemble = decode(model_json);
    if (static_cast<std::size_t>(x.shape(1)) != ensemble.num_feature)
        throw py::value_error("X has " + std::to_string(x.shape(1)) +
                              " column(s) but the booster was trained on " +
                              std::to_string(ensemble.num_feature) + " feature(s)");
    const auto n = static_cast<std::size_t>(x.shape(0));
    const fx::EffectModel model = fx::build_tables(ensemble);
    fx::EffectCounts counts = fx::empty_counts(model);
    std::string error;
    with_element_type(x, "X", [&](auto tag) {
        using T = typename decltype(tag)::type;
        py::gil_scoped_release release;
        const char* base = static_cast<const char*>(x.data());
        std::vector<std::vector<std::uint32_t>> bins(model.mains.size());
        std::vector<const std::uint32_t*> views;
        for (std::size_t k = 0; k < model.mains.size(); ++k) {
            const auto& m = model.mains[k];
            bins[k].resize(n);
            const fx::Column<T> column{base + static_cast<std::ptrdiff_t>(m.feature) * x.strides(1),
                                       x.strides(0), n};
            if (!fx::bin_column(column, m.splits.data(), m.splits.size(), bins[k].data())) {
                error = "X contains NaN in column " + std::to_string(m.feature) +
                        "; effects are defined for observed values only";
                return;
            }
            views.push_back(bins[k].data());
        }
        fx::add_rows(model, views, n, counts);
    });
    if (!error.empty()) throw py::value_error(error);
    return counts_to_dict(counts);
}

py::dict effects_from_counts(const py::bytes& model_json, const py::dict& counts_dict,
                             bool purification, bool true_to_data) {
    const fx::Ensemble ensemble = decode(model_json);
    fx::EffectModel model = fx::build_tables(ensemble);
    const fx::EffectCounts counts = counts_from_dict(counts_dict, model);
    if (counts.n == 0) throw py::value_error("X must have at least one row");
    for (const auto& c : counts.mains) {
        std::uint64_t total = 0;
        for (std::uint64_t v : c) total += v;
        if (total != counts.n) throw py::value_error("every main effect must count n rows");
    }
    {
        py::gil_scoped_release release;
        fx::PurifyOptions options;
        options.purify = purification;
        options.true_to_data = true_to_data;
        fx::weigh_and_purify_counts(model, counts, options);
    }

    return effects_record(model, ensemble);
}

}  // namespace

void register_effect_counts(py::module_& m) {
    m.def("xgb_effect_counts", &effect_counts, py::arg("model_json"), py::arg("X"),
          "Rows of X per bin of every main effect and per cell of every pair effect of a "
          "depth-2 booster: {'n', 'mains', 'pairs'}, int64 arrays; counts of blocks add.");
    m.def("xgb_effects_from_counts", &effects_from_counts, py::arg("model_json"), py::arg("counts"),
          py::arg("purification"), py::arg("true_to_data"),
          "The effect tables of xgb_effects, weighed by counts from xgb_effect_counts: equal "
          "to xgb_effects on the rows the counts were gathered from.");
}

}  // namespace core_bindings
