// Per-partition kernels of the histogram slicing on partitioned data: column summaries, cell
// and region sums, percentile counts and region rows of one block of rows.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "orrin/partition_stats.hpp"
#include "orrin/regions.hpp"
#include "registry.hpp"

namespace core_bindings {

namespace {

namespace part = orrin::partition;

using Matrix = py::array_t<double, py::array::forcecast>;
using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<bool, py::array::c_style | py::array::forcecast>;

orrin::StridedColumn column(const Matrix& x, py::ssize_t j, const char* name) {
    if (x.ndim() != 2) throw py::value_error("x must be two-dimensional");
    if (j < 0 || j >= x.shape(1))
        throw py::value_error(std::string(name) + " " + std::to_string(j) +
                              " is out of range for a block of " + std::to_string(x.shape(1)) +
                              " column(s)");
    const char* base = reinterpret_cast<const char*>(x.data());
    return {base + j * x.strides(1), x.strides(0)};
}

std::size_t rows(const Matrix& x) { return static_cast<std::size_t>(x.shape(0)); }

const double* aligned(const py::object& v, const Matrix& x, const char* name, Vector& keep) {
    if (v.is_none()) return nullptr;
    keep = Vector::ensure(v);
    if (!keep || keep.ndim() != 1 || keep.shape(0) != x.shape(0))
        throw py::value_error(std::string(name) + " must hold one value per row of the block");
    return keep.data();
}

std::vector<double> to_vector(const Vector& v) { return {v.data(), v.data() + v.size()}; }

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

py::array_t<std::int64_t> to_array(const std::vector<std::uint64_t>& v) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// hi and lo parts as a (2, k) array.
py::array_t<double> sum_parts(const std::vector<part::CompensatedSum>& sums) {
    py::array_t<double> out({py::ssize_t{2}, static_cast<py::ssize_t>(sums.size())});
    auto a = out.mutable_unchecked<2>();
    for (std::size_t k = 0; k < sums.size(); ++k) {
        a(0, k) = sums[k].hi;
        a(1, k) = sums[k].lo;
    }
    return out;
}

py::dict summary_dict(const part::ColumnSummary& s) {
    py::dict d;
    d["n"] = s.n;
    d["min"] = s.min;
    d["max"] = s.max;
    d["has_nan"] = s.has_nan;
    d["distinct"] = to_array(s.distinct);
    return d;
}

void check_edges(const std::vector<double>& e, const char* name) {
    if (e.size() < 2) throw py::value_error(std::string(name) + " needs at least two edges");
    for (std::size_t i = 1; i < e.size(); ++i)
        if (!(e[i - 1] < e[i])) throw py::value_error(std::string(name) + " must increase");
}

py::dict summary(const Matrix& x, py::ssize_t c, std::size_t cap) {
    const auto col = column(x, c, "column");
    part::ColumnSummary s;
    {
        py::gil_scoped_release release;
        s = part::summarize(col, rows(x), cap);
    }
    return summary_dict(s);
}

py::list group_summary(const Matrix& x, py::ssize_t c0, py::ssize_t c1, const Vector& edges0,
                       std::size_t cap) {
    const auto col0 = column(x, c0, "column0");
    const auto col1 = column(x, c1, "column1");
    const std::vector<double> e0 = to_vector(edges0);
    check_edges(e0, "edges0");
    std::vector<part::ColumnSummary> groups;
    {
        py::gil_scoped_release release;
        groups = part::summarize_groups(col0, col1, rows(x), e0, cap);
    }
    py::list out;
    for (const auto& g : groups) out.append(summary_dict(g));
    return out;
}

py::dict cell_sums(const Matrix& x, py::ssize_t c0, py::ssize_t c1, const Vector& edges0,
                   const std::vector<Vector>& edges1, const py::object& scores_obj,
                   const py::object& weights_obj) {
    const auto col0 = column(x, c0, "column0");
    orrin::StridedColumn col1{};
    if (c1 >= 0) col1 = column(x, c1, "column1");
    const std::vector<double> e0 = to_vector(edges0);
    check_edges(e0, "edges0");
    std::vector<std::vector<double>> e1;
    for (const auto& e : edges1) {
        e1.push_back(to_vector(e));
        if (!e1.back().empty()) check_edges(e1.back(), "edges1");
    }
    Vector keep_scores, keep_weights;
    const double* scores = aligned(scores_obj, x, "scores", keep_scores);
    if (scores == nullptr) throw py::value_error("scores are needed");
    const double* weights = aligned(weights_obj, x, "weights", keep_weights);
    part::CellSums s;
    std::string error;
    {
        py::gil_scoped_release release;
        try {
            s = part::cell_sums(col0, c1 >= 0 ? &col1 : nullptr, rows(x), e0, e1, scores, weights);
        } catch (const std::invalid_argument& e) {
            error = e.what();
        }
    }
    if (!error.empty()) throw py::value_error(error);
    py::dict d;
    d["count"] = to_array(s.count);
    d["scores"] = sum_parts(s.scores);
    d["weights"] = sum_parts(s.weights);
    d["products"] = sum_parts(s.products);
    return d;
}

orrin::RegionMembership membership(const std::vector<double>& lb1, const std::vector<double>& ub1,
                                   const std::vector<bool>& closed1, const std::vector<double>& lb2,
                                   const std::vector<double>& ub2, const std::vector<bool>& closed2,
                                   bool two) {
    const std::size_t r = lb1.size();
    if (ub1.size() != r || closed1.size() != r ||
        (two && (lb2.size() != r || ub2.size() != r || closed2.size() != r)))
        throw py::value_error("every region needs all of its bounds");
    std::vector<orrin::Bound> first, second;
    for (std::size_t k = 0; k < r; ++k) {
        first.push_back({lb1[k], ub1[k], closed1[k]});
        if (two) second.push_back({lb2[k], ub2[k], closed2[k]});
    }
    return orrin::RegionMembership(first, second);
}

py::dict sums_dict(const part::RegionSums& s) {
    py::dict d;
    d["count"] = to_array(s.count);
    d["scores"] = sum_parts(s.scores);
    d["weights"] = sum_parts(s.weights);
    d["products"] = sum_parts(s.products);
    return d;
}

py::dict region_sums(const Matrix& x, py::ssize_t c0, py::ssize_t c1,
                     const std::vector<double>& lb1, const std::vector<double>& ub1,
                     const std::vector<bool>& closed1, const std::vector<double>& lb2,
                     const std::vector<double>& ub2, const std::vector<bool>& closed2,
                     const py::object& scores_obj, const py::object& weights_obj) {
    const auto col0 = column(x, c0, "column0");
    orrin::StridedColumn col1{};
    if (c1 >= 0) col1 = column(x, c1, "column1");
    const auto regions = membership(lb1, ub1, closed1, lb2, ub2, closed2, c1 >= 0);
    Vector keep_scores, keep_weights;
    const double* scores = aligned(scores_obj, x, "scores", keep_scores);
    if (scores == nullptr) throw py::value_error("scores are needed");
    const double* weights = aligned(weights_obj, x, "weights", keep_weights);
    part::RegionSums s;
    {
        py::gil_scoped_release release;
        s = part::region_sums(regions, col0, c1 >= 0 ? &col1 : nullptr, rows(x), scores, weights);
    }
    return sums_dict(s);
}

py::dict region_sums_closing(const Matrix& x, py::ssize_t c0, py::ssize_t c1,
                             const std::vector<double>& lb1, const std::vector<double>& ub1,
                             const std::vector<bool>& closed1, const std::vector<double>& lb2,
                             const std::vector<double>& ub2, const py::object& scores_obj,
                             const py::object& weights_obj) {
    const auto col0 = column(x, c0, "column0");
    const auto col1 = column(x, c1, "column1");
    const auto first = membership(lb1, ub1, closed1, {}, {}, {}, false);
    if (lb2.size() != lb1.size() || ub2.size() != lb1.size())
        throw py::value_error("every region needs all of its bounds");
    std::vector<orrin::Bound> second;
    for (std::size_t r = 0; r < lb2.size(); ++r) second.push_back({lb2[r], ub2[r], false});
    Vector keep_scores, keep_weights;
    const double* scores = aligned(scores_obj, x, "scores", keep_scores);
    if (scores == nullptr) throw py::value_error("scores are needed");
    const double* weights = aligned(weights_obj, x, "weights", keep_weights);
    part::ClosingSums s;
    {
        py::gil_scoped_release release;
        s = part::region_sums_closing_second(first, second, col0, col1, rows(x), scores, weights);
    }
    py::dict d;
    d["inside"] = sums_dict(s.inside);
    d["on"] = sums_dict(s.on);
    d["on_bound"] = to_array(s.on_bound);
    d["beyond"] = to_array(s.beyond);
    return d;
}

py::list region_rows(const Matrix& x, py::ssize_t c0, py::ssize_t c1,
                     const std::vector<double>& lb1, const std::vector<double>& ub1,
                     const std::vector<bool>& closed1, const std::vector<double>& lb2,
                     const std::vector<double>& ub2, const std::vector<bool>& closed2) {
    const auto col0 = column(x, c0, "column0");
    orrin::StridedColumn col1{};
    if (c1 >= 0) col1 = column(x, c1, "column1");
    const auto regions = membership(lb1, ub1, closed1, lb2, ub2, closed2, c1 >= 0);
    orrin::RegionRows members;
    {
        py::gil_scoped_release release;
        members = regions.members(col0, c1 >= 0 ? &col1 : nullptr, rows(x));
    }
    py::list out;
    for (std::size_t r = 0; r < regions.size(); ++r) {
        const auto begin = members.offsets[r], end = members.offsets[r + 1];
        py::array_t<std::int64_t> a(static_cast<py::ssize_t>(end - begin));
        std::copy(members.rows.data() + begin, members.rows.data() + end, a.mutable_data());
        out.append(a);
    }
    return out;
}

}  // namespace

void register_slicing_parts(py::module_& m) {
    m.def("fz_summary", &summary, py::arg("x"), py::arg("column"), py::arg("cap"),
          "Rows, min, max, NaN flag and up to `cap` distinct values of one column of a block.");
    m.def("fz_group_summary", &group_summary, py::arg("x"), py::arg("column0"), py::arg("column1"),
          py::arg("edges0"), py::arg("cap"),
          "fz_summary of column1 over the rows of every bin of column0 on edges0.");
    m.def("fz_cell_sums", &cell_sums, py::arg("x"), py::arg("column0"), py::arg("column1"),
          py::arg("edges0"), py::arg("edges1"), py::arg("scores"), py::arg("weights"),
          "Rows and compensated sums of scores, weights and weight * score per histogram cell "
          "(column1 < 0: the bins of column0; else the bins of column1 within each bin of "
          "column0, on edges1 of that bin).");
    m.def("fz_region_sums", &region_sums, py::arg("x"), py::arg("column0"), py::arg("column1"),
          py::arg("lb1"), py::arg("ub1"), py::arg("closed1"), py::arg("lb2"), py::arg("ub2"),
          py::arg("closed2"), py::arg("scores"), py::arg("weights"),
          "Rows and compensated sums of scores, weights and weight * score per region.");
    m.def("fz_region_sums_closing", &region_sums_closing, py::arg("x"), py::arg("column0"),
          py::arg("column1"), py::arg("lb1"), py::arg("ub1"), py::arg("closed1"), py::arg("lb2"),
          py::arg("ub2"), py::arg("scores"), py::arg("weights"),
          "Per two-feature region: sums of the rows inside and on the second upper bound, the "
          "rows on it and the rows beyond it, which decide its closure.");
    m.def("fz_region_rows", &region_rows, py::arg("x"), py::arg("column0"), py::arg("column1"),
          py::arg("lb1"), py::arg("ub1"), py::arg("closed1"), py::arg("lb2"), py::arg("ub2"),
          py::arg("closed2"), "Positions of the block's rows in every region, ascending.");
}

}  // namespace core_bindings
