// The children of a pruned list that each cell of a grid needs, worked out
// once for all the cells of a batch instead of once per block of rows.
//
// A batch sorts its rows into the cells of a grid (batch.cpp). For the list
// at the top of the program, whose point is the row itself, every cell with
// rows gets the list of children that its box needs, by the rule of
// collect_candidates (bounds.hpp): a threshold T, the least upper bound
// over the box of some children near it, and then every child whose lower
// bound over the box is not above T. Both passes go from each child to the
// cells around it, so the cost grows with the children, not with the cells
// times the children; a child more than `reach` cells away along an axis
// is never looked at, which is exact only for cells whose T is small beside
// that distance: the others are left to the hierarchy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sdf/bounds.hpp"
#include "sdf/poll.hpp"

namespace sdf {

/// A grid of side x side x side cells: a coordinate v falls in cell
/// cell_of(v) along its axis. Coordinates off the grid go to its border
/// cells, so the grid covers all of space; the order of cells is monotone
/// in the coordinate.
struct CellGrid {
    float lo[3];
    float scale[3];  // cells per unit; 0 puts the whole axis in cell 0
    uint32_t side;   // a power of two, at most 64

    uint32_t cell_of(float v, int axis) const {
        const float q = (v - lo[axis]) * scale[axis];
        if (!(q > 0.0f)) return 0;  // below the grid, or 0 * inf
        return q < static_cast<float>(side) ? static_cast<uint32_t>(q) : side - 1;
    }
    /// cell_of for a child's centre, which is a double: computed in double,
    /// it lands within a hair of the float computation for the same value.
    uint32_t cell_of_centre(double v, int axis) const {
        const double q = (v - double{lo[axis]}) * double{scale[axis]};
        if (!(q > 0.0)) return 0;
        return q < static_cast<double>(side) ? static_cast<uint32_t>(q) : side - 1;
    }
    size_t cells() const { return size_t{side} * side * side; }
};

/// The cell's number: its three coordinates' bits interleaved (Morton
/// order), so that cells numbered close together lie close together.
struct SpreadBits {
    uint32_t bits[64];  // the 6 bits of v, spread to every third bit
    constexpr SpreadBits() : bits() {
        for (uint32_t v = 0; v < 64; ++v) {
            for (int b = 0; b < 6; ++b) bits[v] |= ((v >> b) & 1u) << (3 * b);
        }
    }
};
inline constexpr SpreadBits kSpreadBits;
inline uint32_t cell_number(uint32_t i, uint32_t j, uint32_t k) {
    return kSpreadBits.bits[i] | kSpreadBits.bits[j] << 1 | kSpreadBits.bits[k] << 2;
}

class CellLists {
  public:
    /// Works out the lists of `index` for the cells marked in `occupied`
    /// (by cell number), whose rows all lie in the box `rows`. Returns
    /// false when the lists would hold more than `max_items` entries or no
    /// cell can have one. Throws std::bad_alloc or Interrupted.
    bool build(const PruneIndex& index, const CellGrid& grid, const std::vector<uint8_t>& occupied,
               const Region& rows, size_t max_items, PollCounter& polls);

    /// A box holding every row of `cell` (after build): its share of the
    /// grid, a little wider, within the rows' box.
    Region box(uint32_t cell) const;

    /// How many children kept() would give `cell`, or SIZE_MAX.
    size_t listed(const PruneIndex& index, uint32_t cell) const;

    /// The children `cell` needs in ascending program order, the list's
    /// `always` children included: `count` of them, written to `out` (room
    /// for index.child_count), which is returned. Null, with `count`
    /// SIZE_MAX, when its rows must ask the hierarchy.
    const uint32_t* kept(const PruneIndex& index, uint32_t cell, uint32_t* out,
                         size_t& count) const;
    /// Children of a cell's list whose upper bounds, nearest the cell,
    /// bound the list's value over rows of the cell: at row p, the least of
    /// |p - c| + sigma over them, plus the cell's margin.
    static constexpr size_t kMaxSeeds = 4;
    struct Seeds {
        size_t count;
        float c[kMaxSeeds][3];
        float sigma[kMaxSeeds];
    };
    /// A cell's own list (without the `always` children), ready to be cut
    /// down per block: each child's start position, its squared distance
    /// from the cell's box, and rho + margin; a child whose lower bound
    /// over the box, sqrt(gap2) - rho - margin, is above an upper bound T
    /// of the list's normalised value at every row of a block (rounding
    /// included) can be left out there.
    struct Bounded {
        size_t count = SIZE_MAX;  // SIZE_MAX: the cell has no list
        Seeds seeds{};            // none when no child has an upper bound
        double margin = 0;
        double far = 0;  // the seeds' distance to the box's farthest corner, at least
    };
    /// Fills pcs, gap2 and reach (room for longest() entries) for `cell`;
    /// `up` is scratch of the same length.
    Bounded bounded(uint32_t cell, uint32_t* pcs, double* gap2, double* reach, float* up) const;
    /// Children on the longest list.
    size_t longest() const { return longest_; }

  private:
    std::vector<uint32_t> start_;  // cell c's list is items_[start_[c], start_[c + 1])
    std::vector<uint32_t> items_;  // indices into kids_
    std::vector<FloatBall> kids_;  // the indexed children, in program order
    std::vector<double> margins_;
    std::vector<uint8_t> exact_;   // whether cell c has a list
    std::vector<float> edges_[3];  // per axis, cell i spans [2 i], [2 i + 1]
    uint32_t side_ = 0;
    size_t longest_ = 0;
};

}  // namespace sdf
