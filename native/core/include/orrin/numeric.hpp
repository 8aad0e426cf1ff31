// Reductions that reproduce numpy's float64 arithmetic bit for bit.
//
// Weak regions are decided with `<=` against a limit computed from the same scores, so a
// region score must equal what `np.average` gives for the same inputs exactly, not merely
// closely. numpy sums a contiguous float64 array with an 8-way unrolled pairwise summation
// (blocks of at most 128 elements); `np.average(a)` is that sum divided by the count, and
// `np.average(a, weights=w)` is the pairwise sum of the products `a * w` divided by the
// pairwise sum of `w`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orrin/columns.hpp"

namespace orrin {

// numpy's pairwise summation of a[0], a[stride], ..., a[(n-1)*stride].
double pairwise_sum(const double* a, std::size_t n, std::size_t stride = 1);

// `np.sum` of a contiguous float64 array.
double numpy_sum(const double* a, std::size_t n);

// out[i] := (a[i] - b[i]) ** 2 for i < n, and returns `np.sum(out)`. Each block of the
// pairwise summation is summed as soon as it is written, while it is in cache, so the sum
// costs no second pass over `out`.
double squared_differences_sum(StridedColumn a, StridedColumn b, std::size_t n, double* out);

// `np.average(a)` (n > 0).
double numpy_mean(const double* a, std::size_t n);

// `np.average(a, weights=w)`; `products` is scratch space of at least n doubles. Returns
// false (and leaves `out` untouched) when the weights sum to zero, where numpy raises.
bool numpy_weighted_mean(const double* a, const double* w, std::size_t n, double* products,
                         double& out);

// Average of a gathered subset a[idx[0]], a[idx[1]], ... in the given order, as
// `np.average(a[idx])` or, with `w` not null, `np.average(a[idx], weights=w[idx])`.
// `scratch` is resized as needed. Returns false when the weights of the subset sum to zero.
bool gathered_average(const double* a, const double* w, const std::int64_t* idx, std::size_t n,
                      std::vector<double>& scratch, double& out);

}  // namespace orrin
