#include "orrin/numeric.hpp"

namespace orrin {

namespace {
constexpr std::size_t kBlock = 128;
}

double pairwise_sum(const double* a, std::size_t n, std::size_t stride) {
    if (n < 8) {
        // numpy starts this branch from -0.0 so that a sum of negative zeros stays -0.0.
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= kBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j * stride];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

double numpy_sum(const double* a, std::size_t n) {
    // The add reduction starts from +0.0 and adds the pairwise sum of the whole run, so a
    // sum of negative zeros is +0.0 as in numpy.
    double acc = 0.0;
    acc += pairwise_sum(a, n, 1);
    return acc;
}

namespace {

// The squared differences of rows [off, off + n) into out, and their pairwise sum, split
// as pairwise_sum splits a run.
double squares_pairwise(StridedColumn a, StridedColumn b, std::size_t off, std::size_t n,
                        double* out) {
    if (n <= kBlock) {
        for (std::size_t i = off; i < off + n; ++i) {
            const double d = a[i] - b[i];
            out[i] = d * d;
        }
        return pairwise_sum(out + off, n, 1);
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return squares_pairwise(a, b, off, n2, out) + squares_pairwise(a, b, off + n2, n - n2, out);
}

}  // namespace

double squared_differences_sum(StridedColumn a, StridedColumn b, std::size_t n, double* out) {
    double acc = 0.0;  // as numpy_sum
    acc += squares_pairwise(a, b, 0, n, out);
    return acc;
}

double numpy_mean(const double* a, std::size_t n) {
    return numpy_sum(a, n) / static_cast<double>(n);
}

bool numpy_weighted_mean(const double* a, const double* w, std::size_t n, double* products,
                         double& out) {
    const double scale = numpy_sum(w, n);
    if (scale == 0.0) return false;
    for (std::size_t i = 0; i < n; ++i) products[i] = a[i] * w[i];
    out = numpy_sum(products, n) / scale;
    return true;
}

bool gathered_average(const double* a, const double* w, const std::int64_t* idx, std::size_t n,
                      std::vector<double>& scratch, double& out) {
    if (w == nullptr) {
        scratch.resize(n);
        for (std::size_t i = 0; i < n; ++i) scratch[i] = a[idx[i]];
        out = numpy_mean(scratch.data(), n);
        return true;
    }
    scratch.resize(2 * n);
    double* values = scratch.data();
    double* weights = values + n;
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = a[idx[i]];
        weights[i] = w[idx[i]];
    }
    const double scale = numpy_sum(weights, n);
    if (scale == 0.0) return false;
    for (std::size_t i = 0; i < n; ++i) values[i] *= weights[i];
    out = numpy_sum(values, n) / scale;
    return true;
}

}  // namespace orrin
