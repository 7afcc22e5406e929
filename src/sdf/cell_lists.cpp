// The children each cell of a batch's grid needs (cell_lists.hpp).
//
// The distances below are the ones the hierarchy's walk computes, in
// double from the float boxes and balls, so a cell's list is what
// collect_candidates would keep for its box with a threshold from fewer
// children (a larger T keeps more, never less).
#include "sdf/cell_lists.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace sdf {
namespace {

constexpr double kInfD = std::numeric_limits<double>::infinity();
/// Cells looked at per cell of the grid, at most, by all the children
/// together: children look as far as that allows.
constexpr double kLooksPerCell = 512;
/// Children that give each cell its T, where they are spread evenly.
constexpr double kChildrenAround = 8;
/// Cells whose list the threshold is taken from: this share of them, the
/// ones with the smallest T, are sure to be exact.
constexpr double kCovered = 0.99;
/// Children that may reach every cell (each costs a pass over the grid).
constexpr size_t kMaxFarReaching = 16;

/// Cells extend this share of a cell beyond their edges: more than the
/// rounding of the sort's cell arithmetic can move a row.
constexpr double kEdge = 1.0 / 1024;

/// The float next below (above) a double: boxes are rounded outward.
float round_down(double v) {
    float f = static_cast<float>(v);
    if (double{f} > v) f = std::nextafter(f, -kInfinity);
    return f;
}
float round_up(double v) {
    float f = static_cast<float>(v);
    if (double{f} < v) f = std::nextafter(f, kInfinity);
    return f;
}

/// The bits of v at every third place, packed: one coordinate of a cell.
uint32_t compact_bits(uint32_t v) {
    uint32_t out = 0;
    for (int b = 0; b < 6; ++b) out |= ((v >> (3 * b)) & 1u) << b;
    return out;
}

/// Per cell along one axis, the squared distance terms of the walk for a
/// child at coordinate c: to the nearest point of the cell (0 inside) and
/// to its farthest, computed as bounds.cpp computes them.
double gap_term(float lo, float hi, double c) {
    const double below = c - double{hi}, above = double{lo} - c;
    // max(g, 0) as (g + |g|) / 2, exact for the finite g here (centres and
    // edges are finite floats), so that no branch is made of it: which
    // way it would go is hard to guess.
    const double g = std::max(below, above);
    const double outside = (g + std::fabs(g)) * 0.5;
    return outside * outside;
}
double far_term(float lo, float hi, double c) {
    const double g = std::max(std::fabs(double{lo} - c), std::fabs(double{hi} - c));
    return g * g;
}

/// The cells within `reach` of a child's cell along every axis.
struct Cube {
    uint32_t lo[3], hi[3];

    /// Null `c`: the cube about cell 0 (with reach side - 1, the whole grid).
    Cube(const CellGrid& grid, const float* c, uint32_t reach) {
        for (int a = 0; a < 3; ++a) {
            const uint32_t at = c ? grid.cell_of_centre(c[a], a) : 0;
            lo[a] = at > reach ? at - reach : 0;
            hi[a] = std::min(grid.side - 1, at + reach);
        }
    }
    bool holds(uint32_t x, uint32_t y, uint32_t z) const {
        return x >= lo[0] && x <= hi[0] && y >= lo[1] && y <= hi[1] && z >= lo[2] && z <= hi[2];
    }
    uint64_t size() const {
        return uint64_t{hi[0] - lo[0] + 1} * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1);
    }
    /// visit(cell, i, j, k) for every cell of the cube.
    template <class Visit>
    void each(Visit visit) const {
        for (uint32_t i = lo[0]; i <= hi[0]; ++i) {
            for (uint32_t j = lo[1]; j <= hi[1]; ++j) {
                for (uint32_t k = lo[2]; k <= hi[2]; ++k) visit(cell_number(i, j, k), i, j, k);
            }
        }
    }
    /// The same for the cells whose squared distance terms (per axis and
    /// cell index, non-negative) may sum to at most `limit2`: a row of
    /// cells whose first terms already exceed it is passed over whole.
    template <class Visit>
    void each_within(const std::vector<double>* terms, double limit2, Visit visit) const {
        for (uint32_t i = lo[0]; i <= hi[0]; ++i) {
            if (terms[0][i] > limit2) continue;
            for (uint32_t j = lo[1]; j <= hi[1]; ++j) {
                if (terms[0][i] + terms[1][j] > limit2) continue;
                for (uint32_t k = lo[2]; k <= hi[2]; ++k) visit(cell_number(i, j, k), i, j, k);
            }
        }
    }
};

/// Relative (and absolute) slack on the distance beyond which an exact cell
/// never keeps a child.
constexpr double kWithinSlack = 1.0 / 1099511627776.0;  // 2^-40

/// A pair whose squared gap is below this share of its squared reach is
/// kept without its square root: the rounding of either test is far
/// smaller than the difference. (Keeping a child that could be left out
/// changes no result.)
constexpr double kInsideBy = 1 - 1.0 / 1099511627776.0;  // 1 - 2^-40

/// Pairs a child makes, about, where rows fill the grid: room reserved.
constexpr size_t kPairsPerChild = 64;

/// Work counted per cell a child looks at: a few dozen operations.
constexpr uint64_t kCellWork = 8;

/// The `few` children of largest rho (fewer if there are fewer), by
/// insertion into a short sorted list: no scratch that grows with them.
std::vector<uint32_t> widest_children(const std::vector<FloatBall>& kids, size_t few) {
    std::vector<uint32_t> widest;
    widest.reserve(few + 1);
    for (uint32_t i = 0; i < kids.size(); ++i) {
        if (widest.size() == few && !(kids[i].rho > kids[widest.back()].rho)) continue;
        auto at = std::find_if(widest.begin(), widest.end(),
                               [&](uint32_t w) { return kids[i].rho > kids[w].rho; });
        widest.insert(at, i);
        if (widest.size() > few) widest.pop_back();
    }
    return widest;
}

}  // namespace

bool CellLists::build(const PruneIndex& index, const CellGrid& grid,
                      const std::vector<uint8_t>& occupied, const Region& rows,
                      size_t max_items, PollCounter& polls) {
    start_.clear();
    items_.clear();
    exact_.clear();
    side_ = grid.side;
    const size_t cells = grid.cells();
    // Along each axis, cell i spans its share of the grid, widened by
    // kEdge, the border cells reaching out to the rows; all within the
    // rows' box.
    for (int a = 0; a < 3; ++a) {
        edges_[a].assign(2 * size_t{side_}, 0.0f);
        const double lo = grid.lo[a], scale = grid.scale[a];
        for (uint32_t i = 0; i < side_; ++i) {
            float from = rows.lo[a], to = rows.hi[a];
            if (scale > 0) {
                if (i > 0) from = std::max(from, round_down(lo + (i - kEdge) / scale));
                if (i + 1 < side_) to = std::min(to, round_up(lo + (i + 1 + kEdge) / scale));
            }
            edges_[a][2 * i] = from;
            edges_[a][2 * i + 1] = to;
        }
    }
    kids_ = child_balls(index);
    const std::vector<FloatBall>& kids = kids_;
    // The margin of each cell with rows; NaN where there are none or where
    // the box cannot be pruned, and the cell is left to the hierarchy.
    std::vector<double> margin(cells, std::numeric_limits<double>::quiet_NaN());
    for (uint32_t c = 0; c < cells; ++c) {
        double m;
        if (occupied[c] && region_margin(index, box(c), m)) margin[c] = m;
    }
    // The distance terms of one child along each axis, per cell index.
    std::vector<double> terms[3];
    for (std::vector<double>& t : terms) t.resize(side_);
    auto fill_terms = [&](const Cube& cube, const float* c, double (*term)(float, float, double)) {
        for (int a = 0; a < 3; ++a) {
            for (uint32_t i = cube.lo[a]; i <= cube.hi[a]; ++i) {
                terms[a][i] = term(edges_[a][2 * i], edges_[a][2 * i + 1], c[a]);
            }
        }
    };
    // T of each cell: the least upper bound of the children around it, as
    // far as holds a few children where they are spread evenly.
    const double per_cell = static_cast<double>(kids.size()) / static_cast<double>(cells);
    const double across = std::cbrt(kChildrenAround / std::max(per_cell, 1e-9));
    const double most = (std::cbrt(kLooksPerCell / std::max(per_cell, 1e-9)) - 1) / 2;
    const uint32_t max_reach = most < grid.side ? std::max(1u, static_cast<uint32_t>(most)) : grid.side;
    const uint32_t around = across < 2 * max_reach + 1
                                ? std::max(1u, static_cast<uint32_t>(std::ceil((across - 1) / 2)))
                                : max_reach;
    std::vector<double> threshold(cells, kInfD);
    for (const FloatBall& kid : kids) {
        if (!(kid.sigma < kInfinity)) continue;
        const Cube cube(grid, kid.c, around);
        polls.count(kCellWork * cube.size());
        fill_terms(cube, kid.c, far_term);
        cube.each([&](uint32_t c, uint32_t i, uint32_t j, uint32_t k) {
            if (!(margin[c] >= 0)) return;
            const double far2 = terms[0][i] + terms[1][j] + terms[2][k];
            const double hi = std::sqrt(far2) + kid.sigma + margin[c];
            threshold[c] = std::min(threshold[c], hi);
        });
    }
    // A child more than r cells from a cell along some axis is farther
    // from the cell's box than (r - 0.01) / scale (the box reaches kEdge
    // of a cell beyond its share, and the grid's rounding is far below
    // that), so its lower bound there is above T whenever
    // T + margin < (r - 0.01) / scale - rho. Each child reaches as far as
    // makes that hold for most cells, and a cell is exact when it holds
    // for every child; a child that would reach very far reaches every
    // cell instead, if there are few of them.
    double scale = 0;
    for (int a = 0; a < 3; ++a) scale = std::max(scale, double{grid.scale[a]});
    std::vector<double> needs;
    for (size_t c = 0; c < cells; ++c) {
        const double need = threshold[c] + margin[c];
        if (need < kInfD) needs.push_back(need);  // NaN and +inf fail
    }
    if (needs.empty()) return false;
    const size_t q = static_cast<size_t>(static_cast<double>(needs.size() - 1) * kCovered);
    std::nth_element(needs.begin(), needs.begin() + static_cast<ptrdiff_t>(q), needs.end());
    const double base = needs[q];
    const uint32_t everywhere = grid.side - 1;
    // The widest children are the ones that may reach everywhere. (Marks
    // of a byte a child, not a list of them: this scratch grows with the
    // tree, and stays well within its size.)
    std::vector<uint8_t> far_reaching(kids.size(), 0);
    for (uint32_t i : widest_children(kids, kMaxFarReaching)) {
        far_reaching[i] = (base + kids[i].rho) * scale + 0.01 > max_reach;
    }
    auto reach_of = [&](size_t i) -> uint32_t {
        if (scale == 0 || far_reaching[i]) return everywhere;  // no cell is beyond it
        const double want = (base + kids[i].rho) * scale + 0.01;
        const uint32_t r =
            want <= 1 ? 1 : want < max_reach ? static_cast<uint32_t>(std::ceil(want)) : max_reach;
        return std::min(r, everywhere);
    };
    double slack = kInfD;
    for (size_t i = 0; i < kids.size(); ++i) {
        const uint32_t r = reach_of(i);
        if (r < everywhere) slack = std::min(slack, (r - 0.01) / scale - kids[i].rho);
    }
    std::vector<uint8_t> exact(cells, 0);
    for (size_t c = 0; c < cells; ++c) exact[c] = threshold[c] + margin[c] < slack;
    // The exact cells with their coordinates: a child whose cube holds
    // more cells than these (one reaching everywhere, or any child when
    // the rows are one point and the grid has no extent) visits these.
    struct Exact {
        uint32_t cell, x, y, z;
    };
    std::vector<Exact> exact_cells;
    Cube(grid, nullptr, everywhere).each([&](uint32_t c, uint32_t x, uint32_t y, uint32_t z) {
        if (exact[c]) exact_cells.push_back({c, x, y, z});
    });
    // The lists: the pairs (cell, child) in ascending program order, then
    // sorted by cell (stable, so each cell's children stay ascending).
    struct Pair {
        uint32_t cell, pc;
    };
    // Each pair looked at is written, and counted only when kept: whether
    // a child reaches a cell is as hard to guess as a coin, and a branch
    // on it cost more than the whole test. `pairs` always has room for
    // every cell the child looks at (and is not zeroed first).
    size_t room = std::min(max_items, kids.size() * kPairsPerChild) + 1;
    std::unique_ptr<Pair[]> pairs(new Pair[room]);
    size_t kept = 0;
    for (size_t i = 0; i < kids.size(); ++i) {
        const FloatBall& kid = kids[i];
        const Cube cube(grid, kid.c, reach_of(i));
        const bool near = cube.size() <= exact_cells.size();
        const size_t looks = near ? cube.size() : exact_cells.size();
        if (room - kept < looks) {
            room = std::max(2 * room, kept + looks);
            std::unique_ptr<Pair[]> more(new Pair[room]);
            std::copy(pairs.get(), pairs.get() + kept, more.get());
            pairs = std::move(more);
        }
        fill_terms(cube, kid.c, gap_term);
        Pair* const put = pairs.get();
        auto visit = [&](uint32_t c, uint32_t x, uint32_t y, uint32_t z) {
            // As the walk: lo = |R - c| - rho - margin, kept when <= T.
            const double t = threshold[c];
            const double m = margin[c];
            const double reach_c = t + kid.rho + m;
            const double g2 = terms[0][x] + terms[1][y] + terms[2][z];
            const double r2 = reach_c * reach_c;
            const bool reaches = reach_c >= 0;
            // Well inside (nearly every pair), the square root would keep
            // the child too; it decides only near the edge, or for a
            // negative reach. (A cell that is not exact keeps nothing.)
            const bool inside = reaches & (g2 < r2 * kInsideBy);
            bool keep = (exact[c] != 0) & !(reaches & (g2 > r2));
            if (keep & !inside) keep = !(std::sqrt(g2) - kid.rho - m > t);
            put[kept] = {c, static_cast<uint32_t>(i)};
            kept += keep;
        };
        if (near) {
            polls.count(kCellWork * cube.size());
            // An exact cell has T + margin < slack, so it keeps the child only
            // within slack + rho of its centre; a hair more covers rounding.
            const double within = (slack + kid.rho) * (1 + kWithinSlack) + kWithinSlack;
            cube.each_within(terms, within > 0 && within < kInfD ? within * within : kInfD, visit);
        } else {
            polls.count(kCellWork * exact_cells.size());
            for (const Exact& e : exact_cells) {
                if (cube.holds(e.x, e.y, e.z)) visit(e.cell, e.x, e.y, e.z);
            }
        }
        if (kept > max_items) return false;
    }
    start_.assign(cells + 1, 0);
    for (size_t k = 0; k < kept; ++k) ++start_[pairs[k].cell + 1];
    longest_ = 0;
    for (size_t c = 0; c < cells; ++c) {
        longest_ = std::max<size_t>(longest_, start_[c + 1]);
        start_[c + 1] += start_[c];
    }
    items_.resize(kept);
    std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
    for (size_t k = 0; k < kept; ++k) items_[fill[pairs[k].cell]++] = pairs[k].pc;
    exact_ = std::move(exact);
    margins_ = std::move(margin);
    return true;
}

Region CellLists::box(uint32_t cell) const {
    const uint32_t at[3] = {compact_bits(cell), compact_bits(cell >> 1), compact_bits(cell >> 2)};
    Region r;
    for (int a = 0; a < 3; ++a) {
        r.lo[a] = edges_[a][2 * at[a]];
        r.hi[a] = edges_[a][2 * at[a] + 1];
    }
    return r;
}

size_t CellLists::listed(const PruneIndex& index, uint32_t cell) const {
    if (start_.empty() || !exact_[cell]) return SIZE_MAX;
    return start_[cell + 1] - start_[cell] + index.always.size();
}

const uint32_t* CellLists::kept(const PruneIndex& index, uint32_t cell, uint32_t* out,
                                size_t& count) const {
    count = SIZE_MAX;
    if (start_.empty() || !exact_[cell]) return nullptr;
    uint32_t* end = out;
    for (uint32_t k = start_[cell]; k < start_[cell + 1]; ++k) *end++ = kids_[items_[k]].pc;
    count = static_cast<size_t>(end - out) + index.always.size();
    if (!index.always.empty()) {
        // Merged in place from the back: both runs ascend.
        std::copy_backward(out, end, out + count);
        std::merge(out + index.always.size(), out + count, index.always.begin(),
                   index.always.end(), out);
    }
    return out;
}

CellLists::Bounded CellLists::bounded(uint32_t cell, uint32_t* pcs, double* gap2, double* reach,
                                      float* up) const {
    Bounded out;
    if (start_.empty() || !exact_[cell]) return out;
    const Region r = box(cell);
    out.margin = margins_[cell];
    float centre[3];
    for (int a = 0; a < 3; ++a) centre[a] = 0.5f * r.lo[a] + 0.5f * r.hi[a];
    // The children's bounds over the box, and each one's upper bound at
    // the centre (+inf for none), in a loop without branches.
    const uint32_t first = start_[cell], n = start_[cell + 1] - first;
    for (uint32_t k = 0; k < n; ++k) {
        const FloatBall& kid = kids_[items_[first + k]];
        double g2 = 0;
        float d2 = 0;
        for (int a = 0; a < 3; ++a) {
            g2 += gap_term(r.lo[a], r.hi[a], kid.c[a]);
            d2 += (kid.c[a] - centre[a]) * (kid.c[a] - centre[a]);
        }
        pcs[k] = kid.pc;
        gap2[k] = g2;
        reach[k] = double{kid.rho} + out.margin;
        const float at_centre = std::sqrt(d2) + kid.sigma;
        up[k] = kid.sigma < kInfinity ? at_centre : kInfinity;
    }
    // The seeds: the few children of least upper bound near the centre (in
    // floats: which children they are changes no result), by insertion.
    // The places past the seeds found so far hold +inf, and are shifted
    // along with the others: they start as values, not as garbage.
    float best[kMaxSeeds];
    uint32_t which[kMaxSeeds] = {};
    for (float& b : best) b = kInfinity;
    Seeds& seeds = out.seeds;
    for (uint32_t k = 0; k < n; ++k) {
        if (!(up[k] < best[kMaxSeeds - 1])) continue;
        size_t at = kMaxSeeds - 1;
        for (; at > 0 && up[k] < best[at - 1]; --at) {
            best[at] = best[at - 1];
            which[at] = which[at - 1];
        }
        best[at] = up[k];
        which[at] = items_[first + k];
        seeds.count = std::min(seeds.count + 1, kMaxSeeds);
    }
    out.count = n;
    for (size_t j = 0; j < seeds.count; ++j) {
        const FloatBall& kid = kids_[which[j]];
        double f2 = 0;
        for (int a = 0; a < 3; ++a) {
            seeds.c[j][a] = kid.c[a];
            f2 += far_term(r.lo[a], r.hi[a], kid.c[a]);
        }
        seeds.sigma[j] = kid.sigma;
        out.far = std::max(out.far, std::sqrt(f2));
    }
    return out;
}

}  // namespace sdf
