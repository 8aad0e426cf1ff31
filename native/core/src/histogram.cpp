#include "orrin/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orrin/numeric.hpp"

namespace orrin {

namespace {

// Small caps (the usual bin counts) keep the distinct values seen so far in a short array.
constexpr std::size_t kLinearCap = 64;

}  // namespace

std::size_t count_distinct_capped(const double* x, std::size_t n, std::size_t cap,
                                  std::size_t stride) {
    if (n == 0 || cap == 0) return 0;
    // The first distinct values live in a short array (columns with few values, the usual
    // bin counts); past kLinearCap of them a hash set takes over.
    double seen[kLinearCap];
    std::size_t count = 0;
    double last = x[0] + 0.0;
    seen[count++] = last;
    std::size_t i = 1;
    for (; i < n && count < cap && count < kLinearCap; ++i) {
        const double v = x[i * stride] + 0.0;
        if (v == last) continue;
        last = v;
        bool found = false;
        for (std::size_t j = 0; j < count && !found; ++j) found = seen[j] == v;
        if (!found) seen[count++] = v;
    }
    if (count >= cap || i >= n) return count;
    std::unordered_set<double> set(seen, seen + count);
    for (; i < n && set.size() < cap; ++i) set.insert(x[i * stride] + 0.0);
    return set.size();
}

std::pair<double, double> min_max(const double* x, std::size_t n, std::size_t stride) {
    const Range r = value_range(strided(x, stride), n);
    return {r.lo, r.hi};
}

std::vector<double> histogram_edges(double lo, double hi, std::size_t nbins) {
    double start = lo;
    double stop = hi;
    if (start == stop) {
        start = start - 0.5;
        stop = stop + 0.5;
    }
    const std::size_t num = nbins + 1;
    const double div = static_cast<double>(nbins);
    const double delta = stop - start;
    const double step = delta / div;
    std::vector<double> edges(num);
    for (std::size_t i = 0; i < num; ++i) {
        const double fi = static_cast<double>(i);
        // Same operations, same order as np.linspace: scale, then add the start.
        const double scaled = step == 0.0 ? (fi / div) * delta : fi * step;
        edges[i] = scaled + start;
    }
    edges[num - 1] = stop;
    for (std::size_t i = 0; i + 1 < num; ++i) {
        // numpy tests `edges[:-1] >= edges[1:]`; a NaN edge (range overflow) is refused too,
        // since no bin could be assigned from it.
        if (edges[i] >= edges[i + 1] || std::isnan(edges[i]) || std::isinf(edges[i])) {
            throw HistogramError("Too many bins for data range. Cannot create " +
                                 std::to_string(nbins) + " finite-sized bins.");
        }
    }
    return edges;
}

namespace {

constexpr std::size_t kAhead = StridedColumn::kAhead;

// Exact bin of v: the number of inner edges <= v.
std::size_t search_bin(const double* e, std::size_t k, double v) {
    return static_cast<std::size_t>(std::upper_bound(e + 1, e + k, v) - (e + 1));
}

}  // namespace

namespace {

template <class Bin>
void assign_bins_as(const double* x, std::size_t n, const std::vector<double>& edges, Bin* bin,
                    std::size_t* counts, std::size_t stride) {
    const std::size_t k = edges.size() - 1;
    if (k == 1) {
        std::fill(bin, bin + n, Bin{0});
        if (counts != nullptr) counts[0] += n;
        return;
    }
    // lower[j], upper[j]: the edges that enclose bin j for digitize, with the outer ones
    // opened to -inf and +inf (the first bin takes everything below, the last everything
    // above).
    std::vector<double> lower(edges.begin(), edges.end() - 1);
    std::vector<double> upper(edges.begin() + 1, edges.end());
    lower[0] = -HUGE_VAL;
    upper[k - 1] = HUGE_VAL;
    const double* lo = lower.data();
    const double* up = upper.data();
    const double e0 = edges[0];
    const double span = edges[k] - e0;
    const double scale = std::isfinite(span) && span > 0.0 ? static_cast<double>(k) / span : 0.0;
    const double top = static_cast<double>(k - 1);
    // Four count arrays, so that runs of rows in one bin do not wait on one counter.
    std::vector<std::size_t> lanes(counts != nullptr ? 4 * k : 0, 0);
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two rows per vector, with the same operations as the row loop below; the bins' int32
    // conversion needs k below 2^31. max/min return their second operand when the first is
    // NaN or both are zeros, as the conditionals below do.
    if (k < (std::size_t{1} << 31)) {
        const __m128d first = _mm_set1_pd(e0);
        const __m128d per = _mm_set1_pd(scale);
        const __m128d zero = _mm_setzero_pd();
        const __m128d last = _mm_set1_pd(top);
        for (; i + 2 <= n; i += 2) {
            if (i + kAhead < n) __builtin_prefetch(x + (i + kAhead) * stride);
            const __m128d v = _mm_set_pd(x[(i + 1) * stride], x[i * stride]);
            const __m128d guess =
                _mm_min_pd(_mm_max_pd(_mm_mul_pd(_mm_sub_pd(v, first), per), zero), last);
            const __m128i j = _mm_cvttpd_epi32(guess);
            std::size_t j0 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(j));
            std::size_t j1 = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(j, 4)));
            const __m128d below = _mm_cmplt_pd(v, _mm_set_pd(lo[j1], lo[j0]));
            const __m128d above = _mm_cmpge_pd(v, _mm_set_pd(up[j1], up[j0]));
            const int off = _mm_movemask_pd(_mm_or_pd(below, above));
            if (off != 0) {
                if (off & 1) j0 = search_bin(edges.data(), k, x[i * stride]);
                if (off & 2) j1 = search_bin(edges.data(), k, x[(i + 1) * stride]);
            }
            bin[i] = static_cast<Bin>(j0);
            bin[i + 1] = static_cast<Bin>(j1);
            if (counts != nullptr) {
                ++lanes[(i & 3) * k + j0];
                ++lanes[((i + 1) & 3) * k + j1];
            }
        }
    }
#endif
    for (; i < n; ++i) {
        // The per-row work keeps few loads in flight; a strided column needs them asked for.
        if (i + kAhead < n) __builtin_prefetch(x + (i + kAhead) * stride);
        const double v = x[i * stride];
        // An estimate from the arithmetic, kept when the edges of its bin enclose v (all but
        // values within rounding of an edge); otherwise an exact search decides.
        double guess = (v - e0) * scale;
        guess = guess > 0.0 ? guess : 0.0;
        guess = guess < top ? guess : top;
        std::size_t j = static_cast<std::size_t>(guess);
        if (static_cast<int>(v < lo[j]) | static_cast<int>(v >= up[j])) {
            j = search_bin(edges.data(), k, v);
        }
        bin[i] = static_cast<Bin>(j);
        if (counts != nullptr) ++lanes[(i & 3) * k + j];
    }
    if (counts != nullptr) {
        for (std::size_t l = 0; l < 4; ++l) {
            for (std::size_t j = 0; j < k; ++j) counts[j] += lanes[l * k + j];
        }
    }
}

// Calls f with the bin ids of h, whichever width they are stored in.
template <class F>
void with_bins(const Histogram& h, F&& f) {
    if (h.bin8) {
        f(h.bin8.get());
    } else {
        f(h.bin32.get());
    }
}

}  // namespace

void assign_bins(const double* x, std::size_t n, const std::vector<double>& edges,
                 std::uint32_t* bin, std::size_t* counts, std::size_t stride) {
    assign_bins_as(x, n, edges, bin, counts, stride);
}

Histogram build_histogram(const double* x, std::size_t n, std::size_t max_bins,
                          std::size_t stride) {
    const auto range = min_max(x, n, stride);
    return build_histogram(x, n, max_bins, stride, range.first, range.second);
}

Histogram build_histogram(const double* x, std::size_t n, std::size_t max_bins, std::size_t stride,
                          double lo, double hi) {
    Histogram h;
    h.lo = lo;
    h.hi = hi;
    const std::size_t k = count_distinct_capped(x, n, std::min(max_bins, n), stride);
    h.edges = histogram_edges(h.lo, h.hi, k);
    h.rows = n;
    h.offset.assign(k + 1, 0);
    if (k <= 256) {
        h.bin8 = scratch_array<std::uint8_t>(n);
        assign_bins_as(x, n, h.edges, h.bin8.get(), h.offset.data() + 1, stride);
    } else {
        h.bin32 = scratch_array<std::uint32_t>(n);
        assign_bins_as(x, n, h.edges, h.bin32.get(), h.offset.data() + 1, stride);
    }
    for (std::size_t j = 0; j < k; ++j) h.offset[j + 1] += h.offset[j];
    return h;
}

namespace {

// The scatter loop for exactly N columns, so the row loop holds no tests for absent ones.
template <int N, bool Rows, class Bin>
void scatter_columns(const Bin* bin, std::size_t n, std::size_t* cursor, const Source* src,
                     double* const* out, std::uint32_t* row_of) {
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            for (int c = 0; c < N; ++c) {
                if (src[c].stride != 1)
                    __builtin_prefetch(src[c].data + (i + kAhead) * src[c].stride);
            }
        }
        const std::size_t pos = cursor[bin[i]]++;
        for (int c = 0; c < N; ++c) out[c][pos] = src[c].data[i * src[c].stride];
        if (Rows) row_of[pos] = static_cast<std::uint32_t>(i);
    }
}

template <bool Rows, class Bin>
void scatter_some(int m, const Bin* bin, std::size_t n, std::size_t* cursor, const Source* src,
                  double* const* out, std::uint32_t* row_of) {
    if (m == 0) scatter_columns<0, Rows>(bin, n, cursor, src, out, row_of);
    if (m == 1) scatter_columns<1, Rows>(bin, n, cursor, src, out, row_of);
    if (m == 2) scatter_columns<2, Rows>(bin, n, cursor, src, out, row_of);
    if (m == 3) scatter_columns<3, Rows>(bin, n, cursor, src, out, row_of);
}

}  // namespace

void scatter_by_bin(const Histogram& h, const Source (&values)[3], double* const (&out)[3],
                    std::uint32_t* row_of) {
    Source src[3];
    double* dst[3];
    int m = 0;
    for (int c = 0; c < 3; ++c) {
        if (values[c].data == nullptr) continue;
        src[m] = values[c];
        dst[m++] = out[c];
    }
    if (m == 0 && row_of == nullptr) return;
    std::vector<std::size_t> cursor(h.offset.begin(), h.offset.end() - 1);
    const std::size_t n = h.rows;
    std::size_t* cur = cursor.data();
    with_bins(h, [&](const auto* bin) {
        if (row_of != nullptr) {
            scatter_some<true>(m, bin, n, cur, src, dst, row_of);
        } else {
            scatter_some<false>(m, bin, n, cur, src, dst, row_of);
        }
    });
}

namespace {

// One leaf of numpy's pairwise summation of a run: `len` values summed directly, after
// which `merges` pairs of partial sums are added (the tree's inner nodes, in post-order).
struct Leaf {
    std::size_t len;
    std::size_t merges;
};

void plan_leaves(std::size_t n, std::vector<Leaf>& out) {
    if (n <= 128) {
        out.push_back({n, 0});
        return;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    plan_leaves(n2, out);
    plan_leaves(n - n2, out);
    ++out.back().merges;
}

// The pairwise sum of one bin, fed its values one at a time.
struct BinStream {
    double a[128];
    double w[128];
    std::size_t pos = 0;
    std::size_t len = 0;  // of the current leaf
    std::size_t leaf = 0;
    std::vector<Leaf> leaves;
    std::vector<double> sa;  // partial sums not yet merged
    std::vector<double> sw;

    void start(std::size_t n) {
        if (n > 0) plan_leaves(n, leaves);
        len = leaves.empty() ? 0 : leaves[0].len;
    }
    template <bool Weighted>
    void flush() {
        sa.push_back(pairwise_sum(a, len, 1));
        if (Weighted) sw.push_back(pairwise_sum(w, len, 1));
        for (std::size_t m = leaves[leaf].merges; m > 0; --m) {
            const double r = sa.back();
            sa.pop_back();
            sa.back() = sa.back() + r;
            if (Weighted) {
                const double rw = sw.back();
                sw.pop_back();
                sw.back() = sw.back() + rw;
            }
        }
        pos = 0;
        ++leaf;
        len = leaf < leaves.size() ? leaves[leaf].len : 0;
    }
};

template <bool Weighted, class Bin>
void stream_sums(const Bin* bin, std::size_t n, const double* a, const double* w, BinStream* st) {
    for (std::size_t i = 0; i < n; ++i) {
        BinStream& s = st[bin[i]];
        if (Weighted) {
            s.a[s.pos] = a[i] * w[i];
            s.w[s.pos] = w[i];
        } else {
            s.a[s.pos] = a[i];
        }
        if (++s.pos == s.len) s.flush<Weighted>();
    }
}

}  // namespace

bool bin_sums(const Histogram& h, const double* a, const double* w, std::vector<double>& sums,
              std::vector<double>& weight_sums) {
    if (!h.bin8) return false;
    const std::size_t k = h.nbins();
    std::vector<BinStream> st(k);
    for (std::size_t j = 0; j < k; ++j) st[j].start(h.count(j));
    if (w == nullptr) {
        stream_sums<false>(h.bin8.get(), h.rows, a, w, st.data());
    } else {
        stream_sums<true>(h.bin8.get(), h.rows, a, w, st.data());
    }
    // numpy's add reduction starts from +0.0 (see numpy_sum).
    sums.assign(k, 0.0);
    weight_sums.assign(w != nullptr ? k : 0, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        if (st[j].sa.empty()) continue;
        sums[j] += st[j].sa[0];
        if (w != nullptr) weight_sums[j] += st[j].sw[0];
    }
    return true;
}

std::vector<std::int64_t> rows_by_bin(const Histogram& h) {
    std::vector<std::size_t> cursor(h.offset.begin(), h.offset.end() - 1);
    const std::size_t n = h.rows;
    std::vector<std::int64_t> rows(n);
    with_bins(h, [&](const auto* bin) {
        for (std::size_t i = 0; i < n; ++i) rows[cursor[bin[i]]++] = static_cast<std::int64_t>(i);
    });
    return rows;
}

std::vector<std::int64_t> interval_members(const double* x, std::size_t n, double lb, double ub,
                                           bool closed) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (v >= lb && (closed ? v <= ub : v < ub)) rows.push_back(static_cast<std::int64_t>(i));
    }
    return rows;
}

namespace {

// Starts of the ranges' rows when they are laid out range after range.
std::vector<std::size_t> range_starts(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
    std::vector<std::size_t> start(ranges.size() + 1, 0);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        start[r + 1] = start[r] + rows_in_bins(h, ranges[r].first, ranges[r].second);
    }
    return start;
}

// Calls put(out_position, i) for every position i whose bin lies in one of the disjoint
// ranges, in ascending order of i, where out_position counts on from start[r] for range r.
template <class Put>
void for_range_members(const Histogram& h,
                       const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
                       const std::vector<std::size_t>& start, Put&& put) {
    if (start.back() == 0) return;
    // The positions of a range keep their order, so all bins of range r share cursor r.
    std::vector<std::size_t> shared(start.begin(), start.end() - 1);
    std::vector<std::uint32_t> range_of(h.nbins(), 0xFFFFFFFFu);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        for (std::size_t b = ranges[r].first; b <= ranges[r].second; ++b) {
            range_of[b] = static_cast<std::uint32_t>(r);
        }
    }
    const std::size_t n = h.rows;
    // Chunk by chunk, the positions in some range are compacted first (the cursor stays in a
    // register, so the pass over all positions neither branches on the data nor chains
    // through memory), then only those are handed on.
    constexpr std::size_t kChunk = 4096;
    std::uint32_t member_pos[kChunk];
    std::uint32_t member_range[kChunk];
    with_bins(h, [&](const auto* bin) {
        for (std::size_t begin = 0; begin < n; begin += kChunk) {
            const std::size_t m = std::min(kChunk, n - begin);
            std::size_t k = 0;
            for (std::size_t i = 0; i < m; ++i) {
                const std::uint32_t r = range_of[bin[begin + i]];
                member_pos[k] = static_cast<std::uint32_t>(i);
                member_range[k] = r;
                k += r != 0xFFFFFFFFu;
            }
            for (std::size_t j = 0; j < k; ++j) {
                put(shared[member_range[j]]++, begin + member_pos[j]);
            }
        }
    });
}

}  // namespace

std::size_t rows_in_bins(const Histogram& h, std::size_t first, std::size_t last) {
    return h.offset[last + 1] - h.offset[first];
}

std::vector<std::size_t> gather_bin_ranges(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
    const Source (&values)[2], ScratchArray<double> (&out)[2]) {
    const std::vector<std::size_t> start = range_starts(h, ranges);
    for (int c = 0; c < 2; ++c) {
        out[c] = values[c].data != nullptr ? scratch_array<double>(start.back())
                                           : ScratchArray<double>();
    }
    const Source a = values[0];
    const Source w = values[1];
    double* va = out[0].get();
    double* vw = out[1].get();
    for_range_members(h, ranges, start, [&](std::size_t pos, std::size_t i) {
        if (va != nullptr) va[pos] = a.data[i * a.stride];
        if (vw != nullptr) vw[pos] = w.data[i * w.stride];
    });
    return start;
}

std::vector<std::size_t> bin_range_rows(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
    const std::uint32_t* row_of, std::int64_t* out, const double* values, double* value_out) {
    const std::vector<std::size_t> start = range_starts(h, ranges);
    if (values != nullptr) {
        for_range_members(h, ranges, start, [&](std::size_t pos, std::size_t i) {
            out[pos] = static_cast<std::int64_t>(row_of != nullptr ? row_of[i] : i);
            value_out[pos] = values[i];
        });
    } else if (row_of == nullptr) {
        for_range_members(h, ranges, start, [&](std::size_t pos, std::size_t i) {
            out[pos] = static_cast<std::int64_t>(i);
        });
    } else {
        for_range_members(h, ranges, start, [&](std::size_t pos, std::size_t i) {
            out[pos] = static_cast<std::int64_t>(row_of[i]);
        });
    }
    return start;
}

std::vector<MergedRun> merge_weak_bins(const std::vector<double>& edges,
                                       const std::vector<std::size_t>& weak_bins) {
    std::vector<std::size_t> order(weak_bins);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return edges[a] < edges[b]; });
    std::vector<MergedRun> runs;
    for (std::size_t b : order) {
        const double lb = edges[b];
        const double ub = edges[b + 1];
        if (!runs.empty() && lb <= runs.back().ub) {
            MergedRun& last = runs.back();
            last.ub = std::max(last.ub, ub);
            last.first_bin = std::min(last.first_bin, b);
            last.last_bin = std::max(last.last_bin, b);
        } else {
            runs.push_back({lb, ub, b, b});
        }
    }
    return runs;
}

bool bins_within(const std::vector<double>& edges, double lb, double ub, std::size_t& first,
                 std::size_t& last) {
    const std::size_t k = edges.size() - 1;
    // Strictly increasing edges: lower edges >= lb form a suffix, upper edges <= ub a prefix.
    const std::size_t lo = static_cast<std::size_t>(
        std::lower_bound(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(k), lb) -
        edges.begin());
    const std::size_t upper_count = static_cast<std::size_t>(
        std::upper_bound(edges.begin() + 1, edges.end(), ub) - (edges.begin() + 1));
    if (upper_count == 0 || lo >= upper_count) return false;
    first = lo;
    last = upper_count - 1;
    return true;
}

double percentile_rank(std::size_t count, std::size_t n) {
    return static_cast<double>(count) * (100.0 / static_cast<double>(n));
}

bool uniform_bucket_counts(const double* ref, std::size_t n_ref, const double* weak,
                           std::size_t n_weak, std::size_t nbuckets, std::size_t* ref_counts,
                           std::size_t* weak_counts) {
    if (n_ref == 0 || nbuckets == 0) return false;
    const Range range = value_range(strided(ref), n_ref);
    if (!range.finite || (n_weak > 0 && !value_range(strided(weak), n_weak).finite)) return false;
    std::vector<double> edges;
    try {
        edges = histogram_edges(range.lo, range.hi, nbuckets);
    } catch (const HistogramError&) {
        return false;
    }
    ScratchArray<std::uint32_t> bins = scratch_array<std::uint32_t>(std::max(n_ref, n_weak));
    std::fill(ref_counts, ref_counts + nbuckets, std::size_t{0});
    std::fill(weak_counts, weak_counts + nbuckets, std::size_t{0});
    assign_bins(ref, n_ref, edges, bins.get(), ref_counts);
    assign_bins(weak, n_weak, edges, bins.get(), weak_counts);
    return true;
}

}  // namespace orrin
