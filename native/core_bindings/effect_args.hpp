// Arguments of the effect kernels shared by their bindings: the element type of a feature
// matrix, and a model text decoded into trees.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "orrin/effects.hpp"

namespace core_bindings {

namespace py = pybind11;

template <class T>
struct Tag {
    using type = T;
};

// Calls f(Tag<T>{}) with the element type of a numeric matrix; any strides.
template <class F>
void with_element_type(const py::array& x, const char* name, F&& f) {
    const char kind = x.dtype().kind();
    const auto size = x.itemsize();
    // The kernels read elements in the machine's byte order; a swapped buffer would be garbage.
    if (size > 1 && !x.dtype().attr("isnative").cast<bool>())
        throw py::type_error(std::string(name) + " must be in native byte order");
    if (kind == 'f' && size == 8) return f(Tag<double>{});
    if (kind == 'f' && size == 4) return f(Tag<float>{});
    if (kind == 'i' && size == 8) return f(Tag<std::int64_t>{});
    if (kind == 'i' && size == 4) return f(Tag<std::int32_t>{});
    if (kind == 'i' && size == 2) return f(Tag<std::int16_t>{});
    if (kind == 'i' && size == 1) return f(Tag<std::int8_t>{});
    if (kind == 'u' && size == 8) return f(Tag<std::uint64_t>{});
    if (kind == 'u' && size == 4) return f(Tag<std::uint32_t>{});
    if (kind == 'u' && size == 2) return f(Tag<std::uint16_t>{});
    if ((kind == 'u' || kind == 'b') && size == 1) return f(Tag<std::uint8_t>{});
    throw py::type_error(std::string(name) + " must hold numbers (float, int or bool), not " +
                         py::str(x.dtype()).cast<std::string>());
}

// The trees of a booster's model text; a malformed text is a ValueError saying what is wrong.
inline orrin::effects::Ensemble decode_booster(const std::string& text) {
    orrin::effects::Ensemble ensemble;
    std::string error;
    {
        py::gil_scoped_release release;
        try {
            ensemble = orrin::effects::decode_booster_json(text);
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
    }
    if (!error.empty()) throw py::value_error(error);
    return ensemble;
}

inline py::array_t<std::int64_t> to_array(const std::vector<std::uint64_t>& v) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

inline py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// The effects of a weighed model, as the interpreters read them: intercept, the booster's
// base score, objective and tree count, and one record per main and pair effect.
inline py::dict effects_record(const orrin::effects::EffectModel& model,
                               const orrin::effects::Ensemble& ensemble) {
    py::list mains;
    for (const auto& m : model.mains) {
        py::dict d;
        d["feature"] = m.feature;
        d["splits"] = to_array(m.splits);
        d["values"] = to_array(m.values);
        d["counts"] = to_array(m.counts);
        d["importance"] = m.importance;
        mains.append(d);
    }
    py::list pairs;
    for (const auto& p : model.pairs) {
        py::dict d;
        d["features"] = py::make_tuple(p.feature[0], p.feature[1]);
        d["splits"] = py::make_tuple(to_array(p.splits[0]), to_array(p.splits[1]));
        auto values = to_array(p.values);
        values.resize({static_cast<py::ssize_t>(p.splits[0].size() + 1),
                       static_cast<py::ssize_t>(p.splits[1].size() + 1)});
        d["values"] = values;
        d["importance"] = p.importance;
        pairs.append(d);
    }
    py::dict out;
    out["intercept"] = model.intercept;
    out["base_score"] = ensemble.base_score;
    out["objective"] = ensemble.objective;
    out["num_trees"] = ensemble.num_trees;
    out["mains"] = mains;
    out["pairs"] = pairs;
    return out;
}

}  // namespace core_bindings
