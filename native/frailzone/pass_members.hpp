// The rows of the weak regions that the built-in histogram pass finds, handed back to
// BaseSlicing.fit. On the data a pass bins, the rows of a region are exactly the rows of its
// bins (see orrin/histogram.hpp), so the fit need not locate the fitting set's rows among
// the region bounds again. The fit uses them only when the regions it reads back and the
// columns it would read are the ones the pass recorded, and its first bounds close as the
// pass's bins do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "orrin/histogram.hpp"
#include "orrin/regions.hpp"

namespace frailzone {

struct PassMembers {
    // The binned columns and their rows. The second is unused for one feature.
    orrin::StridedColumn columns[2];
    std::size_t n = 0;
    bool two_features = false;
    bool filled = false;  // the pass completed
    // Per region in the order of `weak_region`: lb1, ub1 (and lb2, ub2 with two features).
    std::vector<double> bounds;
    orrin::RegionRows rows;
    // The pass's per-sample scores at those rows, when every region's were recorded.
    orrin::Appendable<double> scores;
    bool with_scores = true;

    // The pass in progress: position i of its values is row row_of[i] (i when null), and
    // its regions lie in the first-feature bin [lb1, ub1] (two features).
    const std::uint32_t* row_of = nullptr;
    double lb1 = 0.0;
    double ub1 = 0.0;

    PassMembers() { rows.offsets.assign(1, 0); }

    // Records a region of the current pass with second-level (or, for one feature, its own)
    // bounds lb, ub.
    void add_bounds(double lb, double ub) {
        if (two_features) {
            bounds.insert(bounds.end(), {lb1, ub1, lb, ub});
        } else {
            bounds.insert(bounds.end(), {lb, ub});
        }
    }
    // Appends the rows of the current pass's regions, whose bins are `ranges`, and their
    // values of `pass_scores` (the pass's scores in the order it binned them; null when it
    // has none).
    void add_rows(const orrin::Histogram& h,
                  const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
                  const double* pass_scores) {
        std::size_t total = 0;
        for (const auto& [first, last] : ranges) total += orrin::rows_in_bins(h, first, last);
        std::int64_t* dst = rows.rows.reserve(total);
        with_scores = with_scores && pass_scores != nullptr;
        double* score_dst = with_scores ? scores.reserve(total) : nullptr;
        const std::vector<std::size_t> start = orrin::bin_range_rows(
            h, ranges, row_of, dst, with_scores ? pass_scores : nullptr, score_dst);
        rows.rows.grow(total);
        if (with_scores) scores.grow(total);
        const std::int64_t base = rows.offsets.back();
        for (std::size_t r = 0; r < ranges.size(); ++r) {
            rows.offsets.push_back(base + static_cast<std::int64_t>(start[r + 1]));
        }
    }

    // Whether these are the rows of regions `first` (and `second`) on columns c0 (and c1)
    // of n rows.
    bool matches(const orrin::StridedColumn& c0, const orrin::StridedColumn* c1, std::size_t rows_n,
                 const std::vector<orrin::Bound>& first,
                 const std::vector<orrin::Bound>& second) const {
        const auto same = [](const orrin::StridedColumn& c, const orrin::StridedColumn& v) {
            return c.data == v.data && c.stride == v.stride;
        };
        if (!filled || rows_n != n || two_features != (c1 != nullptr) || !same(columns[0], c0) ||
            (c1 != nullptr && !same(columns[1], *c1))) {
            return false;
        }
        const std::size_t per = two_features ? 4 : 2;
        if (bounds.size() != per * first.size() || rows.offsets.size() != first.size() + 1) {
            return false;
        }
        for (std::size_t r = 0; r < first.size(); ++r) {
            const double* b = bounds.data() + per * r;
            if (!(b[0] == first[r].lb && b[1] == first[r].ub)) return false;
            if (two_features && !(b[2] == second[r].lb && b[3] == second[r].ub)) return false;
        }
        return true;
    }
};

}  // namespace frailzone
