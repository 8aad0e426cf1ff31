#include "orrin/regions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace orrin {

double column_max(StridedColumn c, std::size_t n) {
    double best = c[0];
    for (std::size_t i = 0; i < n; ++i) {
        const double v = c[i];
        if (std::isnan(v)) return v;
        if (v > best) best = v;
    }
    return best;
}

RegionMembership::RegionMembership(std::vector<Bound> first, std::vector<Bound> second)
    : first_(std::move(first)), second_(std::move(second)) {
    if (!second_.empty() && second_.size() != first_.size()) {
        throw std::invalid_argument("second-feature bounds must match the regions one to one");
    }
    for (const Bound& b : first_) {
        if (std::isnan(b.lb) || std::isnan(b.ub)) continue;
        breaks_.push_back(b.lb);
        breaks_.push_back(b.ub);
    }
    std::sort(breaks_.begin(), breaks_.end());
    breaks_.erase(std::unique(breaks_.begin(), breaks_.end()), breaks_.end());
    padded_ = breaks_;
    padded_.push_back(std::numeric_limits<double>::quiet_NaN());
    build_grid();

    // Every region covers a contiguous run of cells: from its lower breakpoint to its upper
    // breakpoint (closed) or to the open interval just below it.
    const std::size_t cells = 2 * breaks_.size() + 1;
    // An empty run is {1, 0}.
    std::vector<std::pair<std::size_t, std::size_t>> runs(first_.size(), {1, 0});
    std::vector<std::size_t> per_cell(cells + 1, 0);
    for (std::size_t r = 0; r < first_.size(); ++r) {
        const Bound& b = first_[r];
        if (std::isnan(b.lb) || std::isnan(b.ub) || b.lb > b.ub) continue;
        const std::size_t lo = cell_of(b.lb);
        const std::size_t ub_cell = cell_of(b.ub);
        if (!b.closed && ub_cell == lo) continue;
        const std::size_t hi = b.closed ? ub_cell : ub_cell - 1;
        runs[r] = {lo, hi};
        for (std::size_t c = lo; c <= hi; ++c) ++per_cell[c + 1];
    }
    for (std::size_t c = 0; c < cells; ++c) {
        disjoint_ = disjoint_ && per_cell[c + 1] <= 1;
        max_depth_ = std::max(max_depth_, per_cell[c + 1]);
        per_cell[c + 1] += per_cell[c];
    }
    cell_start_ = per_cell;
    cell_regions_.resize(per_cell[cells]);
    cell_region_.assign(cells, static_cast<std::uint32_t>(first_.size()));
    for (std::size_t r = 0; r < first_.size(); ++r) {
        for (std::size_t c = runs[r].first; c <= runs[r].second; ++c) {
            cell_regions_[per_cell[c]++] = static_cast<std::uint32_t>(r);
            cell_region_[c] = static_cast<std::uint32_t>(r);
        }
    }
    // Overlapping regions, few per cell: each cell's regions padded to the same count with
    // "none", so that listing a row's candidates is a loop of fixed length.
    if (!disjoint_ && max_depth_ <= kPaddedDepth) {
        cell_table_.assign(cells * max_depth_, static_cast<std::uint32_t>(first_.size()));
        for (std::size_t c = 0; c < cells; ++c) {
            for (std::size_t q = cell_start_[c]; q < cell_start_[c + 1]; ++q) {
                cell_table_[c * max_depth_ + (q - cell_start_[c])] = cell_regions_[q];
            }
        }
    }
}

void RegionMembership::build_grid() {
    // About 64 buckets per breakpoint, so that few rows land in a bucket with a breakpoint.
    constexpr std::size_t kMaxBuckets = std::size_t{1} << 16;
    const std::size_t nb = breaks_.size();
    if (nb <= kLinear) return;
    const double lo = breaks_.front();
    const double span = breaks_.back() - lo;
    const std::size_t buckets = std::min(kMaxBuckets, 64 * nb);
    const double scale = static_cast<double>(buckets) / span;
    if (!std::isfinite(lo) || !std::isfinite(span) || !(span > 0.0) || !std::isfinite(scale)) {
        return;
    }
    std::vector<std::uint32_t> first(buckets + 1);
    std::size_t j = 0;
    for (std::size_t g = 0; g < buckets; ++g) {
        const double edge = lo + static_cast<double>(g) / scale;
        while (j < nb && breaks_[j] < edge) ++j;
        first[g] = static_cast<std::uint32_t>(j);
    }
    first[buckets] = static_cast<std::uint32_t>(nb);
    grid_low_.assign(nb + 1, -std::numeric_limits<double>::infinity());
    grid_high_.assign(nb + 1, std::numeric_limits<double>::infinity());
    for (std::size_t k = 0; k < nb; ++k) {
        grid_low_[k + 1] = breaks_[k];
        grid_high_[k] = breaks_[k];
    }
    grid_first_ = std::move(first);
    grid_scale_ = scale;
}

namespace {

// Rows in ascending order with a slot each, grouped into regions by a stable counting sort:
// slot s goes to region target[s], or nowhere when target[s] is `regions`. `per_slot`
// counts the rows of each slot.
template <typename Slot>
RegionRows group_by_slot(Appendable<std::int64_t> rows, const Appendable<Slot>& slots,
                         const std::vector<std::size_t>& per_slot,
                         const std::vector<std::uint32_t>& target, std::size_t regions) {
    RegionRows out;
    out.offsets.assign(regions + 2, 0);
    for (std::size_t s = 0; s < target.size(); ++s) {
        out.offsets[target[s] + 1] += static_cast<std::int64_t>(per_slot[s]);
    }
    out.offsets.pop_back();  // the dropped rows
    for (std::size_t r = 0; r < regions; ++r) out.offsets[r + 1] += out.offsets[r];
    const std::size_t m = rows.size();
    if (regions == 1 && out.offsets[1] == static_cast<std::int64_t>(m)) {
        out.rows = std::move(rows);  // one region, nothing dropped: already grouped
        return out;
    }
    out.rows.resize(static_cast<std::size_t>(out.offsets.back()));
    const std::int64_t* idx = rows.data();
    const Slot* slot = slots.data();
    std::vector<std::int64_t*> dst(regions + 1);
    for (std::size_t r = 0; r < regions; ++r) dst[r] = out.rows.data() + out.offsets[r];
    std::int64_t scratch = 0;
    dst[regions] = &scratch;
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t r = target[slot[k]];
        *dst[r] = idx[k];
        dst[r] += r != regions;
    }
    return out;
}

// Rows start + i (i < m) whose first value v lies within [lo, hi], compacted into
// near_row (i) and near_value (v); returns their count. The first `Checked` of c0 and c1
// have the finiteness of every row's value ANDed into ok[0] and ok[1]. Two rows per vector
// where SSE2 is available (the same comparisons, so the same rows).
template <int Checked>
std::size_t near_span(StridedColumn c0, StridedColumn c1, std::size_t start, std::size_t m,
                      std::size_t n, double lo, double hi, std::uint32_t* near_row,
                      double* near_value, unsigned (&ok)[2]) {
    std::size_t q = 0;
    std::size_t i = 0;
    unsigned ok0 = 1;
    unsigned ok1 = 1;
#if defined(__SSE2__)
    const __m128d low = _mm_set1_pd(lo);
    const __m128d high = _mm_set1_pd(hi);
    const __m128d zero = _mm_setzero_pd();
    __m128d fin0 = _mm_cmpeq_pd(zero, zero);
    __m128d fin1 = fin0;
    for (; i + 2 <= m; i += 2) {
        const std::size_t row = start + i;
        if (row + StridedColumn::kAhead < n) c0.prefetch(row + StridedColumn::kAhead);
        const __m128d v = _mm_set_pd(c0[row + 1], c0[row]);
        // Ordered comparisons: false for NaN, as the scalar ones.
        const int in = _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd(v, low), _mm_cmple_pd(v, high)));
        near_row[q] = static_cast<std::uint32_t>(i);
        _mm_store_sd(near_value + q, v);
        q += static_cast<std::size_t>(in & 1);
        near_row[q] = static_cast<std::uint32_t>(i + 1);
        _mm_storeh_pd(near_value + q, v);
        q += static_cast<std::size_t>(in >> 1);
        // v - v is 0 for a finite v and NaN for an infinite or NaN one.
        if constexpr (Checked >= 1) fin0 = _mm_and_pd(fin0, _mm_cmpeq_pd(_mm_sub_pd(v, v), zero));
        if constexpr (Checked >= 2) {
            const __m128d w = _mm_set_pd(c1[row + 1], c1[row]);
            fin1 = _mm_and_pd(fin1, _mm_cmpeq_pd(_mm_sub_pd(w, w), zero));
        }
    }
    ok0 = static_cast<unsigned>(_mm_movemask_pd(fin0) == 3);
    ok1 = static_cast<unsigned>(_mm_movemask_pd(fin1) == 3);
#endif
    for (; i < m; ++i) {
        const double v = c0[start + i];
        near_row[q] = static_cast<std::uint32_t>(i);
        near_value[q] = v;
        q += static_cast<std::size_t>(static_cast<int>(v >= lo) & static_cast<int>(v <= hi));
        if constexpr (Checked >= 1) ok0 &= static_cast<unsigned>(v - v == 0.0);
        if constexpr (Checked >= 2) {
            const double w = c1[start + i];
            ok1 &= static_cast<unsigned>(w - w == 0.0);
        }
    }
    ok[0] &= ok0;
    ok[1] &= ok1;
    return q;
}

}  // namespace

template <typename Slot, typename SlotOf>
RegionRows RegionMembership::group_rows(StridedColumn c0, std::size_t n, std::size_t slots,
                                        SlotOf&& slot_of, const SlotTargets& targets,
                                        FiniteCheck check) const {
    // Chunk by chunk: the rows within the span of the breakpoints are compacted and located
    // (rows outside it, and NaN, lie in no region), then the rows inside some region's
    // first-feature bound are compacted with their region (the cursors live in registers,
    // so the passes over all rows have no chain through memory). Without slot_of a row's
    // slot is its region; otherwise only the compacted rows get their slot from
    // slot_of(row, region) in [0, slots], where `slots` means none. The slots of a chunk
    // are counted while they are in the cache.
    constexpr bool by_region = std::is_same_v<std::decay_t<SlotOf>, std::nullptr_t>;
    const std::uint32_t outside = static_cast<std::uint32_t>(size());
    const std::uint32_t none = static_cast<std::uint32_t>(slots);
    // Overlapping regions give a row one candidate per region of its cell.
    const std::size_t depth = disjoint_ ? 1 : max_depth_;
    const std::size_t chunk = std::max<std::size_t>(64, 4096 / depth);
    // Disjoint regions found by the first feature alone: rows go straight to the output.
    const bool direct = by_region && disjoint_;
    // One such region needs no slots: every kept row is its.
    const bool one_slot = direct && size() == 1;
    std::vector<std::uint32_t> cell(chunk);
    std::vector<std::uint32_t> near_row(chunk);
    std::vector<double> near_value(chunk);
    const double span_lo = breaks_.empty() ? HUGE_VAL : breaks_.front();
    const double span_hi = breaks_.empty() ? -HUGE_VAL : breaks_.back();
    std::vector<std::uint32_t> cand_row(direct ? 0 : chunk * depth), cand_region(chunk * depth);
    // Blocks past 32 MiB are fresh mappings on every call (glibc reuses smaller ones), so
    // for many rows the buffers reserve one entry per row at once and never move; for
    // fewer rows they grow, keeping to memory the allocator hands back without page faults.
    constexpr std::size_t kFreshBytes = std::size_t{32} << 20;
    const bool reserve_all = n * sizeof(std::int64_t) > kFreshBytes;
    Appendable<std::int64_t> rows(reserve_all ? n : 0);
    Appendable<Slot> kept(reserve_all && !one_slot ? n : 0);
    std::vector<std::size_t> counts(2 * (slots + 1), 0);
    unsigned finite[2] = {1, 1};
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t m = std::min(chunk, n - start);
        std::int64_t* dst_row = rows.reserve(m * depth);
        Slot* dst_slot = one_slot ? nullptr : kept.reserve(m * depth);
        std::size_t q = 0;
        if (check.out == nullptr) {
            q = near_span<0>(c0, c0, start, m, n, span_lo, span_hi, near_row.data(),
                             near_value.data(), finite);
        } else if (check.c1 == nullptr) {
            q = near_span<1>(c0, c0, start, m, n, span_lo, span_hi, near_row.data(),
                             near_value.data(), finite);
        } else {
            q = near_span<2>(c0, *check.c1, start, m, n, span_lo, span_hi, near_row.data(),
                             near_value.data(), finite);
        }
        const StridedColumn near{reinterpret_cast<const char*>(near_value.data()), sizeof(double)};
        with_locator([&](const auto& locate) { cells_of(locate, near, 0, q, q, cell.data()); });
        std::uint32_t* cr = cand_row.data();
        std::uint32_t* cg = cand_region.data();
        std::size_t k = 0;
        if (disjoint_) {
            const std::uint32_t* region_of = cell_region_.data();
            for (std::size_t i = 0; i < q; ++i) {
                const std::uint32_t r = region_of[cell[i]];
                if (direct) {
                    dst_row[k] = static_cast<std::int64_t>(start + near_row[i]);
                } else {
                    cr[k] = near_row[i];
                }
                cg[k] = r;
                k += r != outside;
            }
        } else if (!cell_table_.empty()) {
            const std::uint32_t* table = cell_table_.data();
            for (std::size_t i = 0; i < q; ++i) {
                const std::uint32_t* entry = table + cell[i] * depth;
                for (std::size_t d = 0; d < depth; ++d) {
                    const std::uint32_t r = entry[d];
                    cr[k] = near_row[i];
                    cg[k] = r;
                    k += r != outside;
                }
            }
        } else {
            for (std::size_t i = 0; i < q; ++i) {
                const std::size_t c = cell[i];
                for (std::size_t e = cell_start_[c]; e < cell_start_[c + 1]; ++e) {
                    cr[k] = near_row[i];
                    cg[k] = cell_regions_[e];
                    ++k;
                }
            }
        }
        std::size_t out = k;
        if (!direct) {
            out = 0;
            for (std::size_t j = 0; j < k; ++j) {
                const std::size_t row = start + cr[j];
                std::uint32_t s = cg[j];
                if constexpr (!by_region) s = static_cast<std::uint32_t>(slot_of(row, s));
                dst_row[out] = static_cast<std::int64_t>(row);
                cg[out] = s;
                out += s != none;
            }
        }
        if (one_slot) {
            counts[0] += out;
        } else {
            std::size_t j = 0;
            for (; j + 2 <= out; j += 2) {
                dst_slot[j] = static_cast<Slot>(cg[j]);
                dst_slot[j + 1] = static_cast<Slot>(cg[j + 1]);
                ++counts[cg[j]];
                ++counts[slots + 1 + cg[j + 1]];
            }
            if (j < out) {
                dst_slot[j] = static_cast<Slot>(cg[j]);
                ++counts[cg[j]];
            }
            kept.grow(out);
        }
        rows.grow(out);
    }
    if (check.out != nullptr) {
        check.out->first = finite[0] != 0;
        check.out->second = finite[1] != 0;
    }
    std::vector<std::size_t> per_slot(slots);
    for (std::size_t g = 0; g < slots; ++g) per_slot[g] = counts[g] + counts[slots + 1 + g];
    return group_by_slot(std::move(rows), kept, per_slot, targets(per_slot), size());
}

template <typename SlotOf>
RegionRows RegionMembership::group_rows_any(StridedColumn c0, std::size_t n, std::size_t slots,
                                            SlotOf&& slot_of, const SlotTargets& targets,
                                            FiniteCheck check) const {
    if (slots < 0xFF) {
        return group_rows<std::uint8_t>(c0, n, slots, std::forward<SlotOf>(slot_of), targets,
                                        check);
    }
    return group_rows<std::uint32_t>(c0, n, slots, std::forward<SlotOf>(slot_of), targets, check);
}

RegionRows RegionMembership::members(StridedColumn c0, const StridedColumn* c1, std::size_t n,
                                     ColumnsFinite* finite) const {
    if (two_features() && c1 == nullptr) {
        throw std::invalid_argument("two-feature regions need the second column");
    }
    const std::size_t regions = size();
    const std::uint32_t none = static_cast<std::uint32_t>(regions);
    auto identity = [&](const std::vector<std::size_t>&) {
        std::vector<std::uint32_t> target(regions);
        for (std::size_t r = 0; r < regions; ++r) target[r] = static_cast<std::uint32_t>(r);
        return target;
    };
    if (two_features()) {
        const StridedColumn second = *c1;
        return group_rows_any(c0, n, regions,
                              [&](std::size_t i, std::uint32_t r) -> std::uint32_t {
                                  return second_[r].contains(second[i]) ? r : none;
                              },
                              identity, {finite, c1});
    }
    return group_rows_any(c0, n, regions, nullptr, identity, {finite, c1});
}

RegionRows RegionMembership::members_closing_second(StridedColumn c0, StridedColumn c1,
                                                    std::size_t n, ColumnsFinite* finite) {
    if (!two_features()) return members(c0, nullptr, n, finite);
    // One pass gives every row inside a region's first-feature bound (once per such region)
    // a slot that says how its second value v stands to the region's second bound [lb, ub):
    //   r       lb <= v < ub
    //   R + r   v == ub >= lb
    //   2R + r  v > ub
    //   3R + r  v is NaN
    //   4R + r  v == ub < lb
    //   5R      below both bounds (none)
    // The largest second value equals ub exactly when some v == ub and none is above it, so
    // the slot counts decide the closure, and the rows on a closed bound join their region.
    // A pure function of the row keeps the pass free of running statistics in memory.
    const std::size_t regions = size();
    const std::uint32_t R = static_cast<std::uint32_t>(regions);
    // Class of a value from the bits inside | on << 1 | at_or_above_lb << 2 | above << 3 |
    // nan << 4 (only the combinations that occur matter).
    static constexpr std::uint8_t kClass[32] = {5, 5, 4, 4, 5, 0, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,
                                                3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    auto slot_of = [&](std::size_t i, std::uint32_t r) -> std::uint32_t {
        const double v = c1[i];
        const Bound& b = second_[r];
        const unsigned ge = v >= b.lb;
        const unsigned bits =
            (ge & static_cast<unsigned>(v < b.ub)) | static_cast<unsigned>(v == b.ub) << 1 |
            ge << 2 | static_cast<unsigned>(v > b.ub) << 3 | static_cast<unsigned>(v != v) << 4;
        const std::uint32_t cls = kClass[bits];
        return cls * R + r * static_cast<std::uint32_t>(cls != 5);
    };
    auto targets = [&](const std::vector<std::size_t>& counts) {
        std::vector<std::uint32_t> target(5 * regions, R);
        for (std::size_t r = 0; r < regions; ++r) {
            const bool on = counts[regions + r] + counts[4 * regions + r] > 0;
            const bool beyond = counts[2 * regions + r] + counts[3 * regions + r] > 0;
            second_[r].closed = on && !beyond;
            target[r] = static_cast<std::uint32_t>(r);
            if (second_[r].closed) target[regions + r] = static_cast<std::uint32_t>(r);
        }
        return target;
    };
    return group_rows_any(c0, n, 5 * regions, slot_of, targets, {finite, &c1});
}

}  // namespace orrin
