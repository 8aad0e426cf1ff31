// Membership of rows in axis-parallel regions of one or two features.
//
// A region is a lower-closed interval on the first feature and, for two features, a second
// interval on the second feature. Each row is located once among the sorted region bounds
// of the first feature (through an equal-width bucket grid, a count or a binary search);
// only the regions that cover that cell are tested further, so the cost is linear in rows
// and never rows x regions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "orrin/columns.hpp"
#include "orrin/memory.hpp"

namespace orrin {

// [lb, ub) or, when `closed`, [lb, ub]. A NaN bound or value is never inside.
struct Bound {
    double lb;
    double ub;
    bool closed;

    // Without branches: the passes test values that fall either way at random.
    bool contains(double v) const {
        return static_cast<bool>(
            static_cast<int>(v >= lb) &
            (static_cast<int>(v < ub) | (static_cast<int>(closed) & static_cast<int>(v == ub))));
    }
};

// The largest of c[0..n), NaN when any value is NaN (as numpy's max); n must be positive.
double column_max(StridedColumn c, std::size_t n);

// A growable array of trivially copyable values in malloc'd storage. It grows by realloc,
// which moves large blocks by remapping their pages instead of copying and touching them
// again, and reserves without initialising.
template <typename T>
class Appendable {
  public:
    Appendable() = default;
    // Reserves `capacity` values up front. Untouched pages of a large block cost nothing, so
    // reserving the most that can come (one value per row) avoids growing at all.
    explicit Appendable(std::size_t capacity) { reserve(capacity); }
    Appendable(const Appendable&) = delete;
    Appendable& operator=(const Appendable&) = delete;
    Appendable(Appendable&& o) noexcept : data_(o.data_), size_(o.size_), cap_(o.cap_) {
        o.data_ = nullptr;
        o.size_ = o.cap_ = 0;
    }
    Appendable& operator=(Appendable&& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
        return *this;
    }
    ~Appendable() { block_free(data_); }

    // Room for `extra` more values; returns where they go (valid until the next reserve).
    T* reserve(std::size_t extra) {
        if (size_ + extra > cap_) {
            const std::size_t cap = std::max(2 * cap_, std::max<std::size_t>(size_ + extra, 64));
            if (data_ == nullptr) {
                data_ = static_cast<T*>(block_alloc(cap * sizeof(T)));
            } else {
                void* grown = std::realloc(data_, cap * sizeof(T));
                if (grown == nullptr) throw std::bad_alloc();
                data_ = static_cast<T*>(grown);
                advise_huge_pages(data_, cap * sizeof(T));
            }
            cap_ = cap;
        }
        return data_ + size_;
    }
    // Counts `added` values written after the last reserve.
    void grow(std::size_t added) { size_ += added; }
    void resize(std::size_t size) {
        reserve(size > size_ ? size - size_ : 0);
        size_ = size;
    }
    // Hands the storage to the caller, who frees it with block_free.
    T* release() {
        T* out = data_;
        data_ = nullptr;
        size_ = cap_ = 0;
        return out;
    }

    std::size_t size() const { return size_; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

  private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// Rows grouped by region, each group ascending: region r holds rows[offsets[r]..offsets[r+1]).
struct RegionRows {
    std::vector<std::int64_t> offsets;
    Appendable<std::int64_t> rows;
};

// Whether every value of a pass's first and second column is finite, for a pass asked to
// check them on the way (the second stays true without a second column).
struct ColumnsFinite {
    bool first = true;
    bool second = true;
};

class RegionMembership {
  public:
    // `first` holds one bound per region; `second` is empty (one feature) or one bound per
    // region on the second feature.
    RegionMembership(std::vector<Bound> first, std::vector<Bound> second);

    std::size_t size() const { return first_.size(); }
    bool two_features() const { return !second_.empty(); }
    const std::vector<Bound>& second() const { return second_; }

    // The rows of every region (c1 is the second column, null for one feature). With
    // `finite`, also records whether every value of c0 and c1 is finite, in the same pass.
    RegionRows members(StridedColumn c0, const StridedColumn* c1, std::size_t n,
                       ColumnsFinite* finite = nullptr) const;
    // Closes each second-feature upper bound exactly when it equals the largest second
    // value among the rows that meet the region's first-feature bound (open when none does,
    // or when one of them is NaN), then returns the rows of every region; one pass. With
    // `finite`, as members.
    RegionRows members_closing_second(StridedColumn c0, StridedColumn c1, std::size_t n,
                                      ColumnsFinite* finite = nullptr);

  private:
    // The cell of a value: 2j + 1 is breakpoint j itself, 2j the open interval below it.
    // NaN lands in cell 0, which no region covers (every bound is at or above breakpoint 0).
    // Three ways to find it, chosen once per pass so that the row loop holds one of them.

    // Few breakpoints: a branch-free count beats a search on unpredictable data. Each
    // breakpoint below v adds 2 and one equal to v adds 1; NaN compares false everywhere,
    // so v = NaN gives cell 0 and the NaN padding up to N adds nothing. A fixed N unrolls.
    template <std::size_t N>
    struct LinearLocator {
        double breaks[N];
        explicit LinearLocator(const std::vector<double>& b) {
            for (std::size_t j = 0; j < N; ++j) {
                breaks[j] = j < b.size() ? b[j] : std::numeric_limits<double>::quiet_NaN();
            }
        }
        std::size_t operator()(double v) const {
            std::size_t cell = 0;
            for (std::size_t j = 0; j < N; ++j) {
                cell += static_cast<std::size_t>(breaks[j] < v) +
                        static_cast<std::size_t>(breaks[j] <= v);
            }
            return cell;
        }
        // cells[i] := the cell of c[start + i] for i < m; two rows per vector where SSE2 is
        // available (the same comparisons, so the same cells).
        void cells(StridedColumn c, std::size_t start, std::size_t m, std::size_t n,
                   std::uint32_t* out) const {
            std::size_t i = 0;
#if defined(__SSE2__)
            __m128d b[N];
            for (std::size_t j = 0; j < N; ++j) b[j] = _mm_set1_pd(breaks[j]);
            for (; i + 2 <= m; i += 2) {
                if (start + i + StridedColumn::kAhead < n)
                    c.prefetch(start + i + StridedColumn::kAhead);
                const __m128d v = _mm_set_pd(c[start + i + 1], c[start + i]);
                __m128i acc = _mm_setzero_si128();
                for (std::size_t j = 0; j < N; ++j) {
                    // A true comparison is all ones, -1 as an integer.
                    acc = _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(b[j], v)));
                    acc = _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmple_pd(b[j], v)));
                }
                out[i] = static_cast<std::uint32_t>(_mm_cvtsi128_si64(acc));
                out[i + 1] =
                    static_cast<std::uint32_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
            }
#endif
            for (; i < m; ++i) out[i] = static_cast<std::uint32_t>((*this)(c[start + i]));
        }
    };
    // A binary search whose steps do not branch on the data; `padded` is the breakpoints
    // followed by NaN, equal to nothing.
    struct SearchLocator {
        const double* padded;
        std::size_t nb;
        std::size_t operator()(double v) const {
            const double* base = padded;
            std::size_t len = nb;
            while (len > 1) {
                const std::size_t half = len / 2;
                // Arithmetic, not a conditional: compilers turn the latter into a branch.
                base += static_cast<std::size_t>(base[half - 1] < v) * half;
                len -= half;
            }
            const std::size_t below = static_cast<std::size_t>(base - padded) + (*base < v);
            return 2 * below + (padded[below] == v);
        }
        // The cells of c[start + i] for i < m, four searches in lockstep: one search is a
        // chain of dependent loads, four of them keep the core busy.
        void cells(StridedColumn c, std::size_t start, std::size_t m, std::size_t n,
                   std::uint32_t* out) const {
            constexpr std::size_t kLanes = 4;
            std::size_t i = 0;
            for (; i + kLanes <= m; i += kLanes) {
                if (start + i + StridedColumn::kAhead < n)
                    c.prefetch(start + i + StridedColumn::kAhead);
                double v[kLanes];
                const double* base[kLanes];
                for (std::size_t l = 0; l < kLanes; ++l) {
                    v[l] = c[start + i + l];
                    base[l] = padded;
                }
                std::size_t len = nb;
                while (len > 1) {
                    const std::size_t half = len / 2;
                    for (std::size_t l = 0; l < kLanes; ++l) {
                        base[l] += static_cast<std::size_t>(base[l][half - 1] < v[l]) * half;
                    }
                    len -= half;
                }
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const std::size_t below =
                        static_cast<std::size_t>(base[l] - padded) + (*base[l] < v[l]);
                    out[i + l] = static_cast<std::uint32_t>(2 * below + (padded[below] == v[l]));
                }
            }
            for (; i < m; ++i) out[i] = static_cast<std::uint32_t>((*this)(c[start + i]));
        }
    };
    // Many breakpoints: equal-width buckets over their span. Most buckets hold no
    // breakpoint, so a value's bucket gives its cell once two comparisons confirm that it lies
    // strictly between the neighbouring breakpoints; values in a bucket with a breakpoint, on
    // a breakpoint, NaN, or misplaced by rounding are searched.
    struct GridLocator {
        const double* low;           // low[j]: breakpoint j - 1, -inf for j = 0
        const double* high;          // high[j]: breakpoint j, +inf for j = nb
        const std::uint32_t* first;  // first[g]: breakpoints below bucket g; nb past the end
        double lo;
        double scale;
        double last;  // the bucket past the end, for values above every breakpoint
        SearchLocator search;
        std::size_t operator()(double v) const {
            double g = (v - lo) * scale;
            g = g > 0.0 ? g : 0.0;  // NaN too
            g = g < last ? g : last;
            const std::size_t j = first[static_cast<std::size_t>(g)];
            if (static_cast<int>(low[j] < v) & static_cast<int>(v < high[j])) return 2 * j;
            return search(v);
        }
    };
    // cells[i] := locate(c[start + i]) for i < m, for locators without a block method.
    template <typename Locator>
    static void cells_of(const Locator& locate, StridedColumn c, std::size_t start, std::size_t m,
                         std::size_t n, std::uint32_t* out) {
        if constexpr (has_cells<Locator>::value) {
            locate.cells(c, start, m, n, out);
        } else {
            for (std::size_t i = 0; i < m; ++i) {
                if (start + i + StridedColumn::kAhead < n)
                    c.prefetch(start + i + StridedColumn::kAhead);
                out[i] = static_cast<std::uint32_t>(locate(c[start + i]));
            }
        }
    }
    template <typename L, typename = void>
    struct has_cells : std::false_type {};
    template <typename L>
    struct has_cells<L, std::void_t<decltype(&L::cells)>> : std::true_type {};
    // body(locator) with the locator that suits the breakpoints.
    template <typename Body>
    decltype(auto) with_locator(Body&& body) const {
        const std::size_t nb = breaks_.size();
        if (nb <= 2) return body(LinearLocator<2>(breaks_));
        if (nb <= 4) return body(LinearLocator<4>(breaks_));
        if (nb <= 6) return body(LinearLocator<6>(breaks_));
        if (nb <= kLinear) return body(LinearLocator<kLinear>(breaks_));
        if (!grid_first_.empty()) {
            return body(GridLocator{grid_low_.data(), grid_high_.data(), grid_first_.data(),
                                    breaks_.front(), grid_scale_,
                                    static_cast<double>(grid_first_.size() - 1),
                                    SearchLocator{padded_.data(), nb}});
        }
        return body(SearchLocator{padded_.data(), nb});
    }
    std::size_t cell_of(double v) const {
        return with_locator([v](const auto& locate) { return locate(v); });
    }
    // The buckets of GridLocator, built for more than kLinear breakpoints spanning a finite,
    // positive range; empty otherwise (cell_of then searches).
    void build_grid();
    std::vector<std::uint32_t> grid_first_;
    std::vector<double> grid_low_;
    std::vector<double> grid_high_;
    double grid_scale_ = 0.0;
    static constexpr std::size_t kLinear = 8;

    // Maps every slot to a region (size() for none) once every row is seen, given the rows
    // counted in each slot.
    using SlotTargets = std::function<std::vector<std::uint32_t>(const std::vector<std::size_t>&)>;
    // The columns whose finiteness a pass checks on the way: c0, and c1 unless null.
    struct FiniteCheck {
        ColumnsFinite* out = nullptr;  // null: no check
        const StridedColumn* c1 = nullptr;
    };
    // Groups the rows of the regions (see the definition) by their slots.
    template <typename Slot, typename SlotOf>
    RegionRows group_rows(StridedColumn c0, std::size_t n, std::size_t slots, SlotOf&& slot_of,
                          const SlotTargets& targets, FiniteCheck check) const;
    // group_rows with slots stored in a byte when they fit.
    template <typename SlotOf>
    RegionRows group_rows_any(StridedColumn c0, std::size_t n, std::size_t slots, SlotOf&& slot_of,
                              const SlotTargets& targets, FiniteCheck check) const;
    std::vector<Bound> first_;
    std::vector<Bound> second_;
    std::vector<double> breaks_;
    std::vector<double> padded_;  // breaks_ followed by NaN
    std::vector<std::size_t> cell_start_;
    std::vector<std::uint32_t> cell_regions_;
    // When no cell lies in two regions (disjoint regions, the usual case) each row belongs to
    // at most one region: `cell_region_` maps a cell to it, or to size() for none, and the
    // passes run without branches on the data.
    bool disjoint_ = true;
    std::size_t max_depth_ = 1;  // the most regions that share a cell
    // Overlapping regions, at most kPaddedDepth per cell: cell c's regions at
    // cell_table_[c * max_depth_ ...], padded with size().
    static constexpr std::size_t kPaddedDepth = 8;
    std::vector<std::uint32_t> cell_table_;
    std::vector<std::uint32_t> cell_region_;
};

}  // namespace orrin
