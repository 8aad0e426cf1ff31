// Membership of rows in axis-parallel regions of one or two features.
//
// A region is a lower-closed interval on the first feature and, for two features, a second
// interval on the second feature. Each row is located once among the sorted region bounds
// of the first feature (through an equal-width bucket grid, a count or a binary search);
// only the regions that cover that cell are tested further, so the cost is linear in rows
// and never rows x regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace orrin {

// One column of float64 values, `stride` bytes apart (negative strides allowed).
struct StridedColumn {
    const char* data = nullptr;
    std::ptrdiff_t stride = sizeof(double);

    double operator[](std::size_t i) const {
        double v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
};

// [lb, ub) or, when `closed`, [lb, ub]. A NaN bound or value is never inside.
struct Bound {
    double lb;
    double ub;
    bool closed;

    bool contains(double v) const { return v >= lb && (v < ub || (closed && v == ub)); }
};

// The largest of c[0..n), NaN when any value is NaN (as numpy's max); n must be positive.
double column_max(StridedColumn c, std::size_t n);

// Whether every value of c[0..n) is finite; `max` receives their largest when they are
// (n must be positive). One pass without early exit, so that it vectorises.
bool finite_max(StridedColumn c, std::size_t n, double& max);

// finite_max of two columns of the same rows in one pass (they usually share cache lines).
void finite_max_pair(StridedColumn a, StridedColumn b, std::size_t n, bool finite[2],
                     double max[2]);

// Rows grouped by region, each group ascending: region r holds rows[offsets[r]..offsets[r+1]).
struct RegionRows {
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> rows;
};

// One entry per row, left uninitialised on allocation (the first pass writes every entry).
class RowCells {
  public:
    void allocate(std::size_t n) {
        data_.reset(new std::uint32_t[n]);
        size_ = n;
    }
    std::size_t size() const { return size_; }
    std::uint32_t& operator[](std::size_t i) { return data_[i]; }
    std::uint32_t operator[](std::size_t i) const { return data_[i]; }

  private:
    std::unique_ptr<std::uint32_t[]> data_;
    std::size_t size_ = 0;
};

class RegionMembership {
  public:
    // `first` holds one bound per region; `second` is empty (one feature) or one bound per
    // region on the second feature.
    RegionMembership(std::vector<Bound> first, std::vector<Bound> second);

    std::size_t size() const { return first_.size(); }
    bool two_features() const { return !second_.empty(); }
    const std::vector<Bound>& second() const { return second_; }

    // cells[i] := the cell of c0[i] among the region bounds; the passes below read it, so
    // that each row is located once.
    void locate(StridedColumn c0, std::size_t n, RowCells& cells) const;

    // Closes each second-feature upper bound exactly when it equals the largest second
    // value among the rows that meet the region's first-feature bound (open when none does).
    void close_second_at_conditional_max(const RowCells& cells, StridedColumn c1);
    void close_second_at_conditional_max(StridedColumn c0, StridedColumn c1, std::size_t n);

    // offsets (size() + 1 entries) of the groups that `fill` writes, from the located
    // `cells`, which are rewritten for `fill`.
    std::vector<std::int64_t> count(RowCells& cells, const StridedColumn* c1) const;
    // locate + count.
    std::vector<std::int64_t> count(StridedColumn c0, const StridedColumn* c1, std::size_t n,
                                    RowCells& cells) const;
    // close_second_at_conditional_max + count in as few passes over the rows as the
    // regions allow (one when they are disjoint).
    std::vector<std::int64_t> count_closing_second(StridedColumn c0, StridedColumn c1,
                                                   std::size_t n, RowCells& cells);
    // Writes the groups into `rows` (offsets.back() entries).
    void fill(const RowCells& cells, const StridedColumn* c1,
              const std::vector<std::int64_t>& offsets, std::int64_t* rows) const;

    // count + fill into owned storage.
    RegionRows members(StridedColumn c0, const StridedColumn* c1, std::size_t n) const;

  private:
    // The cell of a value: 2j + 1 is breakpoint j itself, 2j the open interval below it.
    // NaN lands in cell 0, which no region covers (every bound is at or above breakpoint 0).
    std::size_t cell_of(double v) const {
        const std::size_t nb = breaks_.size();
        if (!grid_first_.empty()) {
            // Below every breakpoint (or NaN), above every one, or else start from the grid
            // bucket of v and step to the exact count of breakpoints below v: the bucket
            // only shortens the walk, the comparisons decide.
            if (!(v >= breaks_.front())) return 0;
            if (v > breaks_.back()) return 2 * nb;
            std::size_t g = static_cast<std::size_t>((v - breaks_.front()) * grid_scale_);
            if (g >= grid_first_.size()) g = grid_first_.size() - 1;
            std::size_t j = grid_first_[g];
            while (j < nb && breaks_[j] < v) ++j;
            while (j > 0 && breaks_[j - 1] >= v) --j;
            return 2 * j + (j < nb && breaks_[j] == v);
        }
        // Few breakpoints: a branch-free count beats a binary search on unpredictable data.
        // NaN compares false everywhere and gives cell 0.
        if (nb <= kLinear) {
            std::size_t below = 0;
            std::size_t equal = 0;
            for (const double b : breaks_) {
                below += b < v;
                equal |= b == v;
            }
            return 2 * below + equal;
        }
        return cell_by_search(v);
    }
    std::size_t cell_by_search(double v) const;
    // Equal-width buckets over [breaks_.front(), breaks_.back()]: grid_first_[g] counts the
    // breakpoints below bucket g. Empty when the span is not finite or some bucket would
    // hold more than a few breakpoints; cell_of then counts or searches.
    void build_grid();
    std::vector<std::uint32_t> grid_first_;
    double grid_scale_ = 0.0;
    static constexpr std::size_t kLinear = 32;

    // Calls visit(row, region) for every member, rows ascending, given each row's cell.
    template <typename Visit>
    void for_each_member(const RowCells& cells, const StridedColumn* c1, Visit&& visit) const;

    std::vector<Bound> first_;
    std::vector<Bound> second_;
    std::vector<double> breaks_;
    std::vector<std::size_t> cell_start_;
    std::vector<std::uint32_t> cell_regions_;
    // When no cell lies in two regions (disjoint regions, the usual case) each row belongs to
    // at most one region: `cell_region_` maps a cell to it, or to size() for none, and the
    // passes run without branches on the data.
    bool disjoint_ = true;
    std::vector<std::uint32_t> cell_region_;
};

}  // namespace orrin
