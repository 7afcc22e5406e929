// Cell numbers of rows in vector lanes, for the sort of a batch's rows,
// and the ranks of a sample that place its grid.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "sdf/bounds.hpp"
#include "sdf/cell_lists.hpp"
#include "sdf/vec.hpp"

namespace sdf {

/// The values of ranks `low` and `high` of v (low <= high < v.size(), no
/// NaN in v), as sorting v would place them, without sorting it all: v is
/// left in some other order. The first selection leaves the values from
/// rank `low` on after it, where the second one looks (and may move the
/// value at `low`: it is read before).
inline void two_ranks(std::vector<float>& v, size_t low, size_t high, float& at_low,
                      float& at_high) {
    const auto first = v.begin();
    std::nth_element(first, first + static_cast<ptrdiff_t>(low), v.end());
    at_low = v[low];
    std::nth_element(first + static_cast<ptrdiff_t>(low), first + static_cast<ptrdiff_t>(high),
                     v.end());
    at_high = v[high];
}

/// The cell numbers of rows, a slice at a time, and the box of the finite
/// ones. Every step is a plain loop over the slice's lanes, without
/// branches, so that the compiler runs it in vector lanes: per row, the
/// same cell as CellGrid::cell_of and cell_number give.
class RowKeys {
  public:
    static constexpr size_t kSlice = 256;

    explicit RowKeys(const CellGrid& grid)
        : grid_(grid), cells_(static_cast<uint32_t>(grid.cells())) {
        constexpr float inf = std::numeric_limits<float>::infinity();
        for (size_t j = 0; j < kSlice; ++j) {
            for (int a = 0; a < 3; ++a) {
                lo_[a][j] = inf;
                hi_[a][j] = -inf;
            }
        }
    }

    /// Row i of the slice (i < kSlice).
    SDF_INLINE void set(size_t i, Vec3 p) {
        v_[0][i] = p.x;
        v_[1][i] = p.y;
        v_[2][i] = p.z;
    }

    /// Coordinate `axis` of the slice's rows, to be changed in place
    /// between set and run (the rows' points under a transform).
    SDF_INLINE float* lanes(int axis) { return v_[axis]; }

    /// The keys of the slice's rows 0 .. n - 1 (1 <= n <= kSlice, all set):
    /// their cell numbers, or grid.cells() for a row with a NaN or infinite
    /// coordinate. The box takes in the finite ones.
    SDF_INLINE void run(size_t n, uint32_t* key) {
        // Pad to whole groups of 8 with the first row (its key is not read,
        // and it changes no extreme).
        const size_t lanes = (n + 7) / 8 * 8;
        for (size_t i = n; i < lanes; ++i) {
            for (int a = 0; a < 3; ++a) v_[a][i] = v_[a][0];
        }
        for (size_t i = 0; i < lanes; ++i) {
            const float x = v_[0][i], y = v_[1][i], z = v_[2][i];
            finite_[i] = (x - x == 0) & (y - y == 0) & (z - z == 0);  // NaN for inf or NaN
        }
        uint32_t spread[kSlice];
        for (size_t i = 0; i < lanes; ++i) spread[i] = 0;
        const float top = static_cast<float>(grid_.side - 1);
        for (int a = 0; a < 3; ++a) {
            const float lo = grid_.lo[a], scale = grid_.scale[a];
            for (size_t i = 0; i < lanes; ++i) {
                // As cell_of: below the grid (or NaN) in cell 0, beyond it
                // in the last cell, else the whole part of q.
                const float q = (v_[a][i] - lo) * scale;
                float c = q > 0.0f ? q : 0.0f;
                c = c < top ? c : top;
                uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(c));
                // cell_number's bits: v's six bits to every third place.
                v = (v | v << 8) & 0x0000F00Fu;
                v = (v | v << 4) & 0x000C30C3u;
                v = (v | v << 2) & 0x00249249u;
                spread[i] |= v << a;
            }
        }
        for (size_t i = 0; i < n; ++i) key[i] = finite_[i] ? spread[i] : cells_;
        constexpr float inf = std::numeric_limits<float>::infinity();
        for (int a = 0; a < 3; ++a) {
            // A row that is not finite counts as +inf for the least and
            // -inf for the greatest. Each lane keeps its own extremes.
            float* lo = lo_[a];
            float* hi = hi_[a];
            for (size_t i = 0; i < lanes; ++i) {
                const float v = v_[a][i];
                const float low = finite_[i] ? v : inf, high = finite_[i] ? v : -inf;
                lo[i] = low < lo[i] ? low : lo[i];
                hi[i] = high > hi[i] ? high : hi[i];
            }
        }
    }

    /// The box of the finite rows so far (lo > hi when there are none).
    Region box() const {
        Region r;
        for (int a = 0; a < 3; ++a) {
            r.lo[a] = lo_[a][0];
            r.hi[a] = hi_[a][0];
            for (size_t j = 1; j < kSlice; ++j) {
                r.lo[a] = std::min(r.lo[a], lo_[a][j]);
                r.hi[a] = std::max(r.hi[a], hi_[a][j]);
            }
        }
        return r;
    }

  private:
    const CellGrid& grid_;
    uint32_t cells_;
    float v_[3][kSlice];
    uint32_t finite_[kSlice];
    float lo_[3][kSlice], hi_[3][kSlice];  // running extremes, per lane and axis
};

}  // namespace sdf
