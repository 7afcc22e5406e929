// Batch evaluation: one program over the rows of a strided matrix, in
// blocks of points run by the block interpreter (block_kernel.hpp). On
// x86-64 the interpreter is compiled twice, for the baseline and for AVX2,
// and the processor picks one at run time.
#include "sdf/batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "sdf/block_kernel.hpp"
#include "sdf/cpu.hpp"
#include "sdf/evaluate.hpp"

namespace sdf {
namespace {

using block::BlockState;
using block::read_row;

constexpr size_t kBlock = 256;
/// Largest stack storage a call sets aside; deeper programs use smaller
/// blocks, and beyond that the single-point evaluator.
constexpr size_t kMaxWorkspaceFloats = size_t{1} << 20;

/// One block: gather its rows, then run the program over them.
SDF_INLINE void eval_block(const Program& program, const PointsView& view, size_t start,
                           size_t n, const BlockState& s) {
    block::gather_rows(view, start, n, s);
    block::run_block(program, s, n);
}

void eval_block_baseline(const Program& program, const PointsView& view, size_t start,
                         size_t n, const BlockState& s) {
    eval_block(program, view, start, n, s);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void eval_block_avx2(const Program& program, const PointsView& view,
                                     size_t start, size_t n, const BlockState& s) {
    BlockState avx2 = s;
    avx2.voxel_lanes = voxel_lanes_avx2;
    eval_block(program, view, start, n, avx2);
}
#endif

using BlockKernel = void (*)(const Program&, const PointsView&, size_t, size_t,
                            const BlockState&);

#ifdef SDF_HAVE_AVX2_KERNELS
#define SDF_AVX2_OR_NULL(kernel) kernel
#else
#define SDF_AVX2_OR_NULL(kernel) nullptr
#endif

/// The AVX2 build of a kernel where the processor runs it and `choice`
/// allows it, else the baseline build.
template <class Kernel>
Kernel pick(KernelChoice choice, Kernel baseline, Kernel avx2) {
    return avx2 && use_avx2(choice) ? avx2 : baseline;
}

// --- pruned programs: blocks of rows that lie close together -------------

/// Rows per block when the program prunes: small blocks have small
/// bounding boxes, so fewer children survive.
constexpr size_t kPrunedBlock = 64;

/// One block of the given rows: gather, then run.
SDF_INLINE void eval_rows(const Program& program, const PointsView& view, const uint32_t* rows,
                          size_t n, const BlockState& s) {
    for (size_t i = 0; i < n; ++i) {
        const Vec3 p = read_row(view, rows[i]);
        s.x[i] = p.x;
        s.y[i] = p.y;
        s.z[i] = p.z;
    }
    block::run_block(program, s, n);
}

void eval_rows_baseline(const Program& program, const PointsView& view, const uint32_t* rows,
                        size_t n, const BlockState& s) {
    eval_rows(program, view, rows, n, s);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void eval_rows_avx2(const Program& program, const PointsView& view,
                                    const uint32_t* rows, size_t n, const BlockState& s) {
    BlockState avx2 = s;
    avx2.voxel_lanes = voxel_lanes_avx2;
    eval_rows(program, view, rows, n, avx2);
}
#endif

using RowsKernel = void (*)(const Program&, const PointsView&, const uint32_t*, size_t,
                           const BlockState&);


/// Spreads the 6 low bits of v to every third bit.
constexpr uint32_t spread_bits(uint32_t v) {
    uint32_t out = 0;
    for (int b = 0; b < 6; ++b) out |= ((v >> b) & 1u) << (3 * b);
    return out;
}

struct SpreadTable {
    uint32_t bits[64];
    constexpr SpreadTable() : bits() {
        for (uint32_t v = 0; v < 64; ++v) bits[v] = spread_bits(v);
    }
};
constexpr SpreadTable kSpread;

/// The cell of coordinate v on a grid of `side` cells from lo, `scale`
/// cells per unit (v finite); coordinates off the grid go to its border.
inline uint32_t cell_of(float v, float lo, float scale, uint32_t side) {
    const float q = (v - lo) * scale;
    if (!(q > 0.0f)) return 0;  // below the grid, or 0 * inf
    return q < static_cast<float>(side) ? static_cast<uint32_t>(q) : side - 1;
}

/// Rows sampled to place the grid.
constexpr size_t kGridSamples = 2048;

/// The box of the grid: per axis, from about the 1st to the 99th percentile
/// of a sample of the finite rows, so that a few far rows (or one at 1e30)
/// do not squeeze all the others into one cell. False when no sampled row
/// is finite.
bool grid_box(const PointsView& view, float lo[3], float hi[3]) {
    std::vector<float> axis[3];
    const size_t step = std::max<size_t>(1, view.rows / kGridSamples);
    for (size_t i = 0; i < view.rows; i += step) {
        const Vec3 p = read_row(view, i);
        if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) continue;
        axis[0].push_back(p.x);
        axis[1].push_back(p.y);
        axis[2].push_back(p.z);
    }
    const size_t n = axis[0].size();
    if (n == 0) return false;
    for (int a = 0; a < 3; ++a) {
        std::sort(axis[a].begin(), axis[a].end());
        lo[a] = axis[a][n / 100];
        hi[a] = axis[a][n - 1 - n / 100];
    }
    return true;
}

/// The rows in an order where consecutive rows lie close together: a
/// counting sort by the cell of a grid over most of the rows (grid_box), cells
/// in Morton order, rows with a NaN or infinite coordinate last. Any order
/// gives the same results; this one only makes blocks small in space.
/// The sort's passes over the rows poll too: a row costs about as much as
/// 16 instructions over one lane.
std::vector<uint32_t> spatial_order(const PointsView& view, PollCounter& polls) {
    constexpr uint64_t per_4096_rows = 4096 * 16;
    const size_t rows = view.rows;
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    grid_box(view, lo, hi);  // with no finite row, every key is `cells`
    // About 32 rows per cell, at most 64 cells a side.
    int bits = 0;
    while (bits < 6 && (size_t{1} << (3 * (bits + 1))) * 32 <= rows) ++bits;
    const uint32_t side = 1u << bits, cells = side * side * side;
    float scale[3];
    for (int a = 0; a < 3; ++a) {
        const float extent = hi[a] - lo[a];
        scale[a] = extent > 0 && std::isfinite(extent) ? static_cast<float>(side) / extent : 0.0f;
    }
    std::vector<uint32_t> key(rows);
    std::vector<uint32_t> start(size_t{cells} + 2, 0);
    for (size_t i = 0; i < rows; ++i) {
        if (i % 4096 == 4095) polls.count(per_4096_rows);
        const Vec3 p = read_row(view, i);
        uint32_t k = cells;
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
            k = kSpread.bits[cell_of(p.x, lo[0], scale[0], side)] |
                kSpread.bits[cell_of(p.y, lo[1], scale[1], side)] << 1 |
                kSpread.bits[cell_of(p.z, lo[2], scale[2], side)] << 2;
        }
        key[i] = k;
        ++start[k + 1];
    }
    for (uint32_t k = 0; k <= cells; ++k) start[k + 1] += start[k];
    std::vector<uint32_t> order(rows);
    for (size_t i = 0; i < rows; ++i) order[start[key[i]]++] = static_cast<uint32_t>(i);
    return order;
}

/// Rows sorted at once: the sort's memory (8 bytes a row) stays bounded.
constexpr size_t kSortChunk = size_t{1} << 20;

/// A pruning program over rows sorted in space, chunk by chunk, block by
/// block.
void eval_points_pruned(const Program& program, const PointsView& view, float* out,
                        const Interrupt& interrupt, KernelChoice choice) {
    const size_t block = kPrunedBlock;
    const size_t per_lane = 4 + 3 * size_t{program.point_depth} + program.value_depth;
    std::unique_ptr<float[]> workspace(new float[per_lane * block]);
    std::unique_ptr<uint32_t[]> runs(new uint32_t[run_list_size(program)]);
    std::unique_ptr<double[]> scratch(new double[scratch_size(program)]);
    float* w = workspace.get();
    PollCounter polls(interrupt);
    const BlockState state{w, w + block, w + 2 * block, w + 3 * block, w + 4 * block,
                           w + (4 + 3 * size_t{program.point_depth}) * block, block,
                           runs.get(), scratch.get(), &polls};
    const RowsKernel kernel =
        pick<RowsKernel>(choice, eval_rows_baseline, SDF_AVX2_OR_NULL(eval_rows_avx2));
    for (size_t first = 0; first < view.rows; first += kSortChunk) {
        PointsView chunk = view;
        chunk.data += static_cast<ptrdiff_t>(first) * view.row_stride;
        chunk.rows = std::min(kSortChunk, view.rows - first);
        const std::vector<uint32_t> order = spatial_order(chunk, polls);
        float* chunk_out = out + first;
        for (size_t start = 0; start < chunk.rows; start += block) {
            const size_t n = std::min(block, chunk.rows - start);
            kernel(program, chunk, order.data() + start, n, state);
            for (size_t i = 0; i < n; ++i) chunk_out[order[start + i]] = state.d[i];
        }
    }
}

/// Too deep for block storage: one point at a time.
void eval_points_singly(const Program& program, const PointsView& view, float* out,
                        const Interrupt& interrupt) {
    const Evaluator f(program, interrupt);  // polls as it goes
    for (size_t i = 0; i < view.rows; ++i) out[i] = f(read_row(view, i));
}

}  // namespace

void eval_points(const Program& program, const PointsView& view, float* out,
                 Interrupt interrupt, KernelChoice choice) {
    if (view.rows == 0) return;
    if (view.cols < 3) throw ColumnsError{};
    const size_t lanes_needed = 4 + 3 * size_t{program.point_depth} + program.value_depth;
    // Sorting pays when blocks of rows come out small beside the spacing of
    // the children: with many more rows than children.
    if (program.widest_index >= kMinBlockPruned && view.rows >= 16 * size_t{program.widest_index} &&
        lanes_needed * kPrunedBlock <= kMaxWorkspaceFloats) {
        return eval_points_pruned(program, view, out, interrupt, choice);
    }
    // The three coordinate registers and the stacks, per lane.
    const size_t per_lane = 3 + 3 * size_t{program.point_depth} + program.value_depth;
    const size_t block = std::min(kBlock, kMaxWorkspaceFloats / per_lane / 8 * 8);
    if (block == 0) return eval_points_singly(program, view, out, interrupt);
    std::unique_ptr<float[]> workspace(new float[per_lane * block]);
    float* w = workspace.get();
    // The distance register of each block is its slice of `out` itself.
    // (A pruning program this deep comes here too: its run list is needed.)
    // Rows in their own order: the lists run every child (no scratch).
    const bool prunes = !program.indexes.empty();
    std::unique_ptr<uint32_t[]> runs(prunes ? new uint32_t[run_list_size(program)] : nullptr);
    PollCounter polls(interrupt);  // the kernel counts its work in it
    BlockState state{w, w + block, w + 2 * block, nullptr, w + 3 * block,
                     w + (3 + 3 * size_t{program.point_depth}) * block, block, runs.get(),
                     nullptr, &polls};
    const BlockKernel kernel =
        pick<BlockKernel>(choice, eval_block_baseline, SDF_AVX2_OR_NULL(eval_block_avx2));
    for (size_t start = 0; start < view.rows; start += block) {
        const size_t n = std::min(block, view.rows - start);
        state.d = out + start;
        kernel(program, view, start, n, state);
    }
}

}  // namespace sdf
