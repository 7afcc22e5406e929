// Batch evaluation: one program over the rows of a strided matrix, in
// blocks of points run by the block interpreter (block_kernel.hpp). On
// x86-64 the interpreter is compiled twice, for the baseline and for AVX2,
// and the processor picks one at run time.
#include "sdf/batch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "sdf/block_lanes.hpp"
#include "sdf/cell_lists.hpp"
#include "sdf/chains.hpp"
#include "sdf/cpu.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/row_keys.hpp"
#include "sdf/row_runs.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The block interpreter, once per instruction set, each in a namespace of
// its own: sdf::baseline, sdf::avx2 with every function compiled for AVX2
// (where SDF_BLOCK_AVX2 lets it use AVX2 intrinsics), and sdf::avx512 for
// AVX-512 (SDF_BLOCK_AVX512: its intrinsics too).
#define SDF_BLOCK_NS baseline
#define SDF_BLOCK_AVX2 0
#define SDF_BLOCK_AVX512 0
#include "sdf/block_kernel.hpp"
#undef SDF_BLOCK_NS
#undef SDF_BLOCK_AVX2
#undef SDF_BLOCK_AVX512
#ifdef SDF_HAVE_AVX2_KERNELS
#include <immintrin.h>
SDF_AVX2_BEGIN
#define SDF_BLOCK_NS avx2
#define SDF_BLOCK_AVX2 1
#define SDF_BLOCK_AVX512 0
#include "sdf/block_kernel.hpp"
#undef SDF_BLOCK_NS
#undef SDF_BLOCK_AVX2
#undef SDF_BLOCK_AVX512
SDF_AVX2_END
SDF_AVX512_BEGIN
#define SDF_BLOCK_NS avx512
#define SDF_BLOCK_AVX2 1
#define SDF_BLOCK_AVX512 1
#include "sdf/block_kernel.hpp"
#undef SDF_BLOCK_NS
#undef SDF_BLOCK_AVX2
#undef SDF_BLOCK_AVX512
SDF_AVX512_END
#endif

namespace sdf {
namespace {

using block::BlockState;
using block::read_row;
using block::kVectorLanes;
using block::whole_vectors;

constexpr size_t kBlock = 512;
/// Rows a row run that keeps its work in registers takes per call. Its
/// work is counted, and the interrupt polled, between chunks: a run of at
/// most kMaxRunSteps steps takes well under a millisecond over a chunk.
constexpr size_t kRowRunChunk = 8 * kBlock;
static_assert(kRowRunChunk % kVectorLanes == 0, "chunks are whole vectors");
/// Largest stack storage a call sets aside; deeper programs use smaller
/// blocks, and beyond that the single-point evaluator.
constexpr size_t kMaxWorkspaceFloats = size_t{1} << 20;

void eval_block_baseline(const Program& program, const PointsView& view, size_t start,
                         size_t n, const BlockState& s) {
    baseline::gather_rows(view, start, n, s);
    baseline::run_block(program, s, whole_vectors(n));
}

void run_lanes_baseline(const Program& program, const BlockState& s, size_t n) {
    baseline::run_block(program, s, n);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void eval_block_avx2(const Program& program, const PointsView& view,
                                     size_t start, size_t n, const BlockState& s) {
    BlockState state = s;
    state.voxel_lanes = voxel_lanes_avx2;
    avx2::gather_rows(view, start, n, state);
    avx2::run_block(program, state, whole_vectors(n));
}

/// The state must carry voxel_lanes_avx2 (lane_kernel's voxel).
SDF_TARGET_AVX2 void run_lanes_avx2(const Program& program, const BlockState& s, size_t n) {
    avx2::run_block(program, s, n);
}

SDF_TARGET_AVX512 void eval_block_avx512(const Program& program, const PointsView& view,
                                         size_t start, size_t n, const BlockState& s) {
    if (avx512::row_run_block(view, start, n, s)) return;
    BlockState state = s;
    state.voxel_lanes = voxel_lanes_avx2;
    avx512::gather_rows(view, start, n, state);
    avx512::run_block(program, state, whole_vectors(n));
}

/// Runs rows start .. start + n - 1 with the state's row run where it can
/// read them in place: false (nothing done) where it cannot.
SDF_TARGET_AVX512 bool row_chunk_avx512(const PointsView& view, size_t start, size_t n,
                                        const BlockState& s) {
    return avx512::row_run_block(view, start, n, s);
}

/// The state must carry voxel_lanes_avx2 (lane_kernel's voxel).
SDF_TARGET_AVX512 void run_lanes_avx512(const Program& program, const BlockState& s, size_t n) {
    avx512::run_block(program, s, n);
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

/// The same, with the AVX-512 build first where that runs and is allowed.
template <class Kernel>
Kernel pick(KernelChoice choice, Kernel baseline, Kernel avx2, Kernel avx512) {
    return avx512 && use_avx512(choice) ? avx512 : pick(choice, baseline, avx2);
}

}  // namespace

block::LaneKernel block::lane_kernel(KernelChoice choice) {
#ifdef SDF_HAVE_AVX2_KERNELS
    if (use_avx512(choice)) return {run_lanes_avx512, voxel_lanes_avx2};
    if (use_avx2(choice)) return {run_lanes_avx2, voxel_lanes_avx2};
#endif
    (void)choice;
    return {run_lanes_baseline, nullptr};
}

namespace {

// --- the list at the top of the program ---------------------------------

/// Point transforms before the top list, at most: each one is worked out
/// again by the sort, for every row.
constexpr uint32_t kMaxKeyedTransforms = 16;

/// The list at the top of the program, whose children can be chosen per
/// cell of a grid: the program starts with its PushP and Prune, or with a
/// chain of point transforms of the row (a translated, rotated or scaled
/// list) and then those. Its point is then the row under the chain,
/// code[0 .. transforms_end).
struct TopList {
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    uint32_t index = kNone;  // of its pruning index, or kNone
    uint32_t transforms_end = 0;

    explicit TopList(const Program& program) {
        const Word* code = program.code.data();
        uint32_t pc = 0;
        for (uint32_t n = 0; n < kMaxKeyedTransforms && pc < program.words; ++n) {
            const Head head = code[pc].head;
            if (!block::is_point_transform(head.op) || head.source != Source::Registers) break;
            pc += head.words;
        }
        const uint32_t prune_at = pc + 1 + op_params(Op::PushP);
        if (program.words <= prune_at + 1 || code[pc].head.op != Op::PushP ||
            code[prune_at].head.op != Op::Prune) {
            return;
        }
        index = code[prune_at + 1].u;
        transforms_end = pc;
    }
    bool found() const { return index != kNone; }
    bool transformed() const { return transforms_end > 0; }
};

/// One step of a chain over n points in place, through the interpreters'
/// own inline function: bit for bit the point they compute.
template <class Step>
SDF_INLINE void step_points(const Word* params, float* __restrict x, float* __restrict y,
                            float* __restrict z, size_t n) {
    float f[kMaxParams];  // a copy, which writing the points cannot change
    std::memcpy(f, params, sizeof f);
    for (size_t i = 0; i < n; ++i) {
        const Vec3 q = Step::apply(f, {x[i], y[i], z[i]});
        x[i] = q.x;
        y[i] = q.y;
        z[i] = q.z;
    }
}

/// The points of n rows, in place, turned into the top list's points.
SDF_INLINE void to_list_points(const Program& program, const TopList& top, float* x, float* y,
                               float* z, size_t n) {
    const Word* code = program.code.data();
    for (uint32_t pc = 0; pc < top.transforms_end; pc += code[pc].head.words) {
        switch (code[pc].head.op) {
            case Op::Translate: step_points<block::TranslateStep>(code + pc + 1, x, y, z, n); break;
            case Op::ScaleIn: step_points<block::ScaleStep>(code + pc + 1, x, y, z, n); break;
            default: step_points<block::RotateStep>(code + pc + 1, x, y, z, n); break;
        }
    }
}

/// One row's point as the top list sees it.
Vec3 list_point(const Program& program, const TopList& top, Vec3 p) {
    to_list_points(program, top, &p.x, &p.y, &p.z, 1);
    return p;
}

// --- pruned programs: blocks of rows that lie close together -------------

/// Rows per block at most when the program prunes: small blocks have small
/// bounding boxes, so fewer children survive.
constexpr size_t kPrunedBlock = 64;
/// Rows per block at most when a cell's children are chosen for the whole
/// cell: the block's box no longer matters, and each child dispatched
/// serves more rows.
constexpr size_t kListedBlock = 256;

/// Lanes of the widest vectors the kernels use.
constexpr size_t kPadLanes = kVectorLanes;

/// A row in sorted order: its point, and where it came from (the low
/// kRowBits bits of `row`; above them, its cell within its sort group).
struct SortedRow {
    float x, y, z;
    uint32_t row;
};

/// One block of sorted rows gathered (in order in memory) into the
/// block's lanes; returns the lanes to run. The block is padded to whole
/// vectors with copies of its last row: the lanes loops then have no
/// scalar tail, and the copies change neither the block's box nor its
/// largest value (their results are not read).
size_t load_rows(const SortedRow* rows, size_t n, const BlockState& s) {
    for (size_t i = 0; i < n; ++i) {
        s.x[i] = rows[i].x;
        s.y[i] = rows[i].y;
        s.z[i] = rows[i].z;
    }
    const size_t lanes = std::min(s.stride, (n + kPadLanes - 1) / kPadLanes * kPadLanes);
    for (size_t i = n; i < lanes; ++i) {
        s.x[i] = rows[n - 1].x;
        s.y[i] = rows[n - 1].y;
        s.z[i] = rows[n - 1].z;
    }
    return lanes;
}

/// Over the lanes, the greatest of the least over the seeds of
/// |p - c| + sigma, in float: within a few roundings of the exact value
/// (seed_threshold).
SDF_INLINE float seed_bound_lanes(const CellLists::Seeds& seeds, const BlockState& s,
                                  size_t lanes) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    float least[kListedBlock];
    for (size_t i = 0; i < lanes; ++i) least[i] = inf;
    for (size_t k = 0; k < seeds.count; ++k) {
        const float cx = seeds.c[k][0], cy = seeds.c[k][1], cz = seeds.c[k][2];
        const float sigma = seeds.sigma[k];
        for (size_t i = 0; i < lanes; ++i) {
            const float dx = s.x[i] - cx, dy = s.y[i] - cy, dz = s.z[i] - cz;
            const float up = std::sqrt((dx * dx + dy * dy) + dz * dz) + sigma;
            least[i] = up < least[i] ? up : least[i];
        }
    }
    float most[8] = {-inf, -inf, -inf, -inf, -inf, -inf, -inf, -inf};
    for (size_t i = 0; i < lanes; i += 8) {  // lanes: whole vectors
        for (size_t j = 0; j < 8; ++j) most[j] = least[i + j] > most[j] ? least[i + j] : most[j];
    }
    float top = most[0];
    for (size_t j = 1; j < 8; ++j) top = most[j] > top ? most[j] : top;
    return top;
}

float seed_bound_baseline(const CellLists::Seeds& seeds, const BlockState& s, size_t lanes) {
    return seed_bound_lanes(seeds, s, lanes);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 float seed_bound_avx2(const CellLists::Seeds& seeds, const BlockState& s,
                                      size_t lanes) {
    return seed_bound_lanes(seeds, s, lanes);
}

SDF_TARGET_AVX512 float seed_bound_avx512(const CellLists::Seeds& seeds, const BlockState& s,
                                          size_t lanes) {
    return seed_bound_lanes(seeds, s, lanes);
}
#endif

using SeedBound = float (*)(const CellLists::Seeds&, const BlockState&, size_t);

/// An upper bound of the list's normalised value at every row of a block,
/// from its seeds' float bound `top` and a bound `far` of the distances
/// from the seeds to the rows (and so of their float values): each
/// distance is within 2^-21 of itself computed exactly (a rounded
/// difference, three products, two sums and a square root, of floats), and
/// each sum with sigma within 2^-24 of its size; 2^-19 of the sizes covers
/// both, and the margin the float evaluation's own rounding.
double seed_threshold(float top, double far, const CellLists::Seeds& seeds, double margin) {
    double sigma = 0;
    for (size_t k = 0; k < seeds.count; ++k) {
        sigma = std::max(sigma, std::fabs(double{seeds.sigma[k]}));
    }
    const double slack = (far + sigma) * (1.0 / 524288.0) + 1e-30;
    return double{top} + slack + margin;
}

/// Lists shorter than this run as they are: cutting them down per block
/// costs more than it saves.
constexpr size_t kBoundedFrom = 48;

/// The children of a cell's list (CellLists::bounded) whose lower bound
/// sqrt(gap2) - reach is not above t (all of them for t = +inf), merged
/// with the list's `always` children, into `out`; returns how many. The
/// test is made on squares, a hair wide of the exact one: a child kept
/// that could have been left out changes no result.
size_t keep_below(const PruneIndex& index, const uint32_t* pcs, const double* gap2,
                  const double* reach, size_t n, double t, uint32_t* out) {
    constexpr double wide = 1 + 1.0 / 1099511627776.0;  // 1 + 2^-40
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
        const double r = t + reach[k];  // kept when sqrt(gap2) <= r
        out[kept] = pcs[k];
        kept += !(r < 0) && !(gap2[k] > r * r * wide);  // NaN keeps it
    }
    if (index.always.empty()) return kept;
    const size_t count = kept + index.always.size();
    // Merged in place from the back: both runs ascend.
    std::copy_backward(out, out + kept, out + count);
    std::merge(out + index.always.size(), out + count, index.always.begin(), index.always.end(),
               out);
    return count;
}

void run_rows_baseline(const Program& program, const BlockState& s, size_t lanes) {
    baseline::run_block(program, s, lanes);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void run_rows_avx2(const Program& program, const BlockState& s, size_t lanes) {
    BlockState state = s;
    state.voxel_lanes = voxel_lanes_avx2;
    avx2::run_block(program, state, lanes);
}

SDF_TARGET_AVX512 void run_rows_avx512(const Program& program, const BlockState& s,
                                       size_t lanes) {
    BlockState state = s;
    state.voxel_lanes = voxel_lanes_avx2;
    avx512::run_block(program, state, lanes);
}
#endif

using RowsKernel = void (*)(const Program&, const BlockState&, size_t);

/// Rows sampled to place the grid.
constexpr size_t kGridSamples = 2048;

/// The box of the grid: per axis, from about the 1st to the 99th percentile
/// of a sample of the finite rows' list points, so that a few far rows (or
/// one at 1e30) do not squeeze all the others into one cell. False when no
/// sampled point is finite.
bool grid_box(const PointsView& view, const Program& program, const TopList& top, float lo[3],
              float hi[3]) {
    std::vector<float> axis[3];
    const size_t step = std::max<size_t>(1, view.rows / kGridSamples);
    for (size_t i = 0; i < view.rows; i += step) {
        const Vec3 p = list_point(program, top, read_row(view, i));
        if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) continue;
        axis[0].push_back(p.x);
        axis[1].push_back(p.y);
        axis[2].push_back(p.z);
    }
    const size_t n = axis[0].size();
    if (n == 0) return false;
    for (int a = 0; a < 3; ++a) two_ranks(axis[a], n / 100, n - 1 - n / 100, lo[a], hi[a]);
    return true;
}

/// Rows per cell the grid aims at: a block or so, so that each block's
/// box is small.
constexpr size_t kRowsPerCell = 30;
/// Rows per cell where the cells have lists of their own and the grid
/// still has a cell for each child: a child dispatched in a cell then
/// serves several vectors of rows, and there are fewer lists to build.
constexpr size_t kRowsPerListedCell = 240;

/// Rows sorted at once: the sort's memory (under 40 bytes a row, and the
/// cell lists') stays bounded, and a row's number in its chunk takes
/// kRowBits bits.
constexpr uint32_t kRowBits = 20;
constexpr uint32_t kRowMask = (1u << kRowBits) - 1;
constexpr size_t kSortChunk = size_t{1} << kRowBits;

/// Groups of the sort's first step, at least (where the grid has cells
/// enough): as few write streams as that, for streams run slower the more
/// of them there are (measured: 8 streams of rows write at about a quarter
/// of the cost of 64), while a group's rows are still close enough in
/// memory for the second step.
constexpr uint32_t kGroups = 8;
/// Cells per group of the sort, at most: 2^kGroupBits (a cube of 8 x 8 x 8).
constexpr uint32_t kGroupBits = 9;
static_assert(kRowBits + kGroupBits <= 32, "a row's number and its cell share a word");

/// Rows of a piece of the sort's first step: the keys need room for one
/// piece only (not four bytes for every row), and the piece's points are
/// read the second time while still in the nearer caches.
constexpr size_t kPieceRows = size_t{1} << 15;

/// Rows sorted by cell in two steps. The cells are numbered in Morton
/// order, so a group of 2^group_bits consecutive numbers is a small cube of
/// cells. A first pass, piece by piece of the rows, puts each piece's rows
/// in their groups (a few streams of writes; one pass straight into
/// thousands of cells misses on nearly every row), and each group is
/// sorted into its cells only when it is evaluated, in a buffer of its own,
/// from its part of every piece.
/// Once sorted, the rows of cell c (cell_number order) are at
/// [start[c], start[c + 1]) of the whole order, and those with a NaN or
/// infinite coordinate come last, from start[cells], in a group of their
/// own.
struct SortedRows {
    CellGrid grid;
    // By piece, then by group within the piece; each `row` with its cell
    // within its group above kRowBits. Not zeroed first: every entry is
    // written.
    std::unique_ptr<SortedRow[]> rows;
    // Group g of piece j is rows [piece[j * (groups() + 1) + g], the next).
    std::vector<uint32_t> piece;
    std::vector<uint32_t> start;
    uint32_t group_bits;  // cells per group: 2^group_bits
    uint32_t widest = 0;  // rows of the largest group
    Region box;  // of the finite rows

    uint32_t groups() const { return static_cast<uint32_t>((grid.cells() >> group_bits) + 1); }
    /// The cells of group g: [first_cell(g), first_cell(g + 1)).
    size_t first_cell(uint32_t g) const {
        return std::min(size_t{g} << group_bits, grid.cells() + 1);
    }
    size_t pieces() const { return piece.size() / (size_t{groups()} + 1); }
};

/// Bits of the cells along an axis for about `per_cell` rows a cell.
int grid_bits(size_t rows, size_t per_cell) {
    int bits = 0;
    while (bits < 6 && (size_t{1} << (3 * (bits + 1))) * per_cell <= rows) ++bits;
    return bits;
}

/// Rows per cell for `rows` rows when the top list has `listed` children
/// chosen per cell (0: none).
size_t rows_per_cell(size_t rows, size_t listed) {
    const size_t coarse_cells = size_t{1} << (3 * grid_bits(rows, kRowsPerListedCell));
    const bool coarse = listed > 0 && coarse_cells >= listed;
    return coarse ? kRowsPerListedCell : kRowsPerCell;
}

/// The grid over most of the rows' list points (grid_box), about
/// `per_cell` rows a cell, at most 64 cells a side.
CellGrid make_grid(const PointsView& view, const Program& program, const TopList& top,
                   size_t per_cell) {
    CellGrid grid{};
    float hi[3] = {0, 0, 0};
    // With no finite point, every row is in the last bucket.
    grid_box(view, program, top, grid.lo, hi);
    grid.side = 1u << grid_bits(view.rows, per_cell);
    for (int a = 0; a < 3; ++a) {
        const float extent = hi[a] - grid.lo[a];
        grid.scale[a] =
            extent > 0 && std::isfinite(extent) ? static_cast<float>(grid.side) / extent : 0.0f;
    }
    return grid;
}

/// The first pass of the sort: every row's cell number (RowKeys, of its
/// list point) in key[i], counted in count[cell]; returns the box of the
/// finite list points. It polls as it goes: a row costs about as much as
/// 16 instructions over one lane. Compiled twice, as the block kernels
/// are, for its vector lanes; `copy_rows` is the kernels' own copy of rows
/// into lanes (packed rows of three floats, the usual input, in a few
/// vector instructions).
using CopyRows = void (*)(const PointsView&, size_t, size_t, const BlockState&);

SDF_INLINE Region count_keys_lanes(const PointsView& view, const Program& program,
                                   const TopList& top, const CellGrid& grid, uint32_t* key,
                                   uint32_t* count, PollCounter& polls, CopyRows copy_rows) {
    constexpr uint64_t per_slice = RowKeys::kSlice * 16;
    // And about 8 more for each word of the transforms to the list's point.
    const uint64_t per_transformed_slice = RowKeys::kSlice * 8 * uint64_t{top.transforms_end};
    RowKeys keys(grid);
    BlockState lanes{keys.lanes(0), keys.lanes(1), keys.lanes(2), nullptr, nullptr, nullptr,
                     RowKeys::kSlice, nullptr, nullptr, nullptr};
    for (size_t first = 0; first < view.rows; first += RowKeys::kSlice) {
        const size_t n = std::min(RowKeys::kSlice, view.rows - first);
        if (first > 0) polls.count(per_slice + per_transformed_slice);
#if defined(__GNUC__) || defined(__clang__)
        // The slice after next, on its way from memory while this one runs
        // (where rows lie close: one fetch a line).
        if (view.row_stride > 0 && view.row_stride <= 64 &&
            first + 3 * RowKeys::kSlice <= view.rows) {
            const char* ahead =
                view.data + static_cast<ptrdiff_t>(first + 2 * RowKeys::kSlice) * view.row_stride;
            const ptrdiff_t bytes = static_cast<ptrdiff_t>(RowKeys::kSlice) * view.row_stride;
            for (ptrdiff_t b = 0; b < bytes; b += 64) __builtin_prefetch(ahead + b, 0, 3);
        }
#endif
        copy_rows(view, first, n, lanes);
        if (top.transformed()) {
            to_list_points(program, top, keys.lanes(0), keys.lanes(1), keys.lanes(2), n);
        }
        keys.run(n, key + first);
        for (size_t i = first; i < first + n; ++i) ++count[key[i]];
    }
    return keys.box();
}

void copy_rows_baseline(const PointsView& view, size_t start, size_t n, const BlockState& s) {
    baseline::copy_rows(view, start, n, s);
}

Region count_keys_baseline(const PointsView& view, const Program& program, const TopList& top,
                           const CellGrid& grid, uint32_t* key, uint32_t* count,
                           PollCounter& polls) {
    return count_keys_lanes(view, program, top, grid, key, count, polls, copy_rows_baseline);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void copy_rows_avx2(const PointsView& view, size_t start, size_t n,
                                    const BlockState& s) {
    avx2::copy_rows(view, start, n, s);
}

SDF_TARGET_AVX2 Region count_keys_avx2(const PointsView& view, const Program& program,
                                       const TopList& top, const CellGrid& grid, uint32_t* key,
                                       uint32_t* count, PollCounter& polls) {
    return count_keys_lanes(view, program, top, grid, key, count, polls, copy_rows_avx2);
}

SDF_TARGET_AVX512 void copy_rows_avx512(const PointsView& view, size_t start, size_t n,
                                        const BlockState& s) {
    avx512::copy_rows(view, start, n, s);
}

/// The keys in vectors of sixteen lanes.
SDF_TARGET_AVX512 Region count_keys_avx512(const PointsView& view, const Program& program,
                                           const TopList& top, const CellGrid& grid,
                                           uint32_t* key, uint32_t* count, PollCounter& polls) {
    return count_keys_lanes(view, program, top, grid, key, count, polls, copy_rows_avx512);
}
#endif

using CountKeys = Region (*)(const PointsView&, const Program&, const TopList&, const CellGrid&,
                             uint32_t*, uint32_t*, PollCounter&);

/// A sorted row written with one store of 16 bytes (where SSE2 allows):
/// the scatters of the sort are bound by their stores, and the compiler
/// would otherwise write the point and the tag in three. The tag rides in
/// a float lane only to be moved: below 2^29, its bits are a positive
/// finite float, and no operation here looks at them.
inline void put_row(SortedRow* to, Vec3 p, uint32_t tag) {
#if defined(__SSE2__)
    static_assert(kRowBits + kGroupBits < 31, "the tag is a finite float's bits");
    float t;
    std::memcpy(&t, &tag, sizeof t);
    _mm_storeu_ps(&to->x, _mm_setr_ps(p.x, p.y, p.z, t));
#else
    *to = {p.x, p.y, p.z, tag};
#endif
}

/// One piece of the first step: the n rows of `view` from `first` on (of
/// group key[i] >> bits, `size[g]` of them in group g), each with its cell
/// within its group, written to `to` by group; `at` (groups + 1 entries)
/// gets where each group starts.
void group_piece(const PointsView& view, size_t first, size_t n, const uint32_t* key,
                 uint32_t bits, const std::vector<uint32_t>& size, SortedRow* to,
                 uint32_t* at) {
    const uint32_t fine_mask = (1u << bits) - 1;
    // groups counts, at most 2^(18 - kGroupBits) + 1: the grid has at most
    // 64^3 = 2^18 cells.
    uint32_t fill[(size_t{1} << (18 - kGroupBits)) + 1];
    uint32_t sum = 0;
    for (size_t g = 0; g < size.size(); ++g) {
        at[g] = fill[g] = sum;
        sum += size[g];
    }
    at[size.size()] = sum;
    size_t i = 0;
#if defined(__SSE2__)
    // Packed rows of three floats: each row in one load of 16 bytes, whose
    // last 4 (the next row's first float) give way to the tag. Every row
    // but the view's last has a next one.
    const bool packed = view.row_stride == 3 * sizeof(float) && view.col_stride == sizeof(float);
    const size_t loads = !packed ? 0 : first + n < view.rows ? n : n - 1;
    const char* const rows = view.data + static_cast<ptrdiff_t>(first) * view.row_stride;
    for (; i < loads; ++i) {
        const uint32_t tag = static_cast<uint32_t>(first + i) | (key[i] & fine_mask) << kRowBits;
        const __m128 p = _mm_loadu_ps(reinterpret_cast<const float*>(rows + 12 * i));
        const __m128 t = _mm_castsi128_ps(_mm_cvtsi32_si128(static_cast<int>(tag)));
        const __m128 zt = _mm_shuffle_ps(p, t, _MM_SHUFFLE(0, 0, 2, 2));  // z z t t
        _mm_storeu_ps(&to[fill[key[i] >> bits]++].x, _mm_shuffle_ps(p, zt, _MM_SHUFFLE(2, 0, 1, 0)));
    }
#endif
    for (; i < n; ++i) {
        const Vec3 p = read_row(view, first + i);
        const uint32_t tag = static_cast<uint32_t>(first + i) | (key[i] & fine_mask) << kRowBits;
        put_row(to + fill[key[i] >> bits]++, p, tag);
    }
}

/// The rows of each group counted in `count` (by cell) so far; `size[g]`
/// becomes how many of them came since the last call (`total` the sums).
void count_groups(const SortedRows& sorted, const uint32_t* count, std::vector<uint32_t>& total,
                  std::vector<uint32_t>& size) {
    for (uint32_t g = 0; g < total.size(); ++g) {
        uint32_t sum = 0;
        for (size_t c = sorted.first_cell(g); c < sorted.first_cell(g + 1); ++c) sum += count[c];
        size[g] = sum - total[g];
        total[g] = sum;
    }
}

/// The first step of the sort: a counting sort of the rows by group, of
/// their top list's points (`top`, which may have none), piece by piece;
/// any order gives the same results, this one only makes blocks small in
/// space. The rows keep their own points: the whole program runs on them.
/// Each pass over the rows polls too: a row costs about as much as 16
/// instructions over one lane.
SortedRows sort_rows(const PointsView& view, const Program& program, const TopList& top,
                     size_t per_cell, KernelChoice choice, PollCounter& polls) {
    constexpr uint64_t per_row = 16;
    constexpr float inf = std::numeric_limits<float>::infinity();
    SortedRows out{make_grid(view, program, top, per_cell), {}, {}, {}, 0, 0,
                   {{inf, inf, inf}, {-inf, -inf, -inf}}};
    Region& box = out.box;
    const CellGrid& grid = out.grid;
    const size_t rows = view.rows;
    const uint32_t cells = static_cast<uint32_t>(grid.cells());
    // Groups as large as kGroupBits allows while there are still kGroups
    // of them; the rows that are not finite (cell number `cells`) are a
    // group of their own.
    uint32_t bits = 0;
    while ((cells >> (bits + 3)) >= kGroups && bits < kGroupBits) bits += 3;
    out.group_bits = bits;
    const uint32_t groups = out.groups();
    const size_t pieces = (rows + kPieceRows - 1) / kPieceRows;
    out.piece.resize(pieces * (size_t{groups} + 1));
    out.rows.reset(new SortedRow[rows]);
    std::unique_ptr<uint32_t[]> key(new uint32_t[std::min(rows, kPieceRows)]);
    out.start.assign(size_t{cells} + 2, 0);
    const CountKeys count_keys =
        pick<CountKeys>(choice, count_keys_baseline, SDF_AVX2_OR_NULL(count_keys_avx2),
                        SDF_AVX2_OR_NULL(count_keys_avx512));
    std::vector<uint32_t> total(groups), size(groups);
    for (size_t j = 0; j < pieces; ++j) {
        const size_t first = j * kPieceRows, n = std::min(kPieceRows, rows - first);
        PointsView part = view;
        part.data += static_cast<ptrdiff_t>(first) * view.row_stride;
        part.rows = n;
        const Region r = count_keys(part, program, top, grid, key.get(), out.start.data() + 1, polls);
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::min(box.lo[a], r.lo[a]);
            box.hi[a] = std::max(box.hi[a], r.hi[a]);
        }
        polls.count(per_row * n);
        // The piece's rows per group, from the count by cell: a pass over
        // the cells, not over the rows.
        count_groups(out, out.start.data() + 1, total, size);
        uint32_t* at = out.piece.data() + j * (size_t{groups} + 1);
        group_piece(view, first, n, key.get(), bits, size, out.rows.get() + first, at);
        for (uint32_t g = 0; g <= groups; ++g) at[g] += static_cast<uint32_t>(first);
    }
    for (uint32_t k = 0; k <= cells; ++k) out.start[k + 1] += out.start[k];
    for (uint32_t g = 0; g < groups; ++g) {
        const uint32_t size = out.start[out.first_cell(g + 1)] - out.start[out.first_cell(g)];
        out.widest = std::max(out.widest, size);
    }
    return out;
}

/// The second step: the rows of group g, from each piece, sorted into its
/// cells, written to `to` (room for sorted.widest rows); the rows of cell
/// c are then at to + start[c] - start[first_cell(g)].
void sort_group(const SortedRows& sorted, uint32_t g, SortedRow* to) {
    const size_t first = sorted.first_cell(g), last = sorted.first_cell(g + 1);
    const uint32_t base = sorted.start[first];
    uint32_t fill[size_t{1} << kGroupBits];
    for (size_t c = first; c < last; ++c) fill[c - first] = sorted.start[c] - base;
    const size_t stride = size_t{sorted.groups()} + 1;
    for (size_t j = 0; j < sorted.pieces(); ++j) {
        const uint32_t* at = sorted.piece.data() + j * stride + g;
        // Each row is copied whole, its cell bits kept (the readers mask
        // them off): one store of 16 bytes, where clearing them first
        // split it into three, and this loop is bound by its stores.
        for (uint32_t i = at[0]; i < at[1]; ++i) {
            const SortedRow r = sorted.rows[i];
            to[fill[r.row >> kRowBits]++] = r;
        }
    }
}

/// The block's rows as the top list sees them: `state` itself, or where
/// the list's point is not the row, `moved` with them computed in its lanes.
const BlockState& list_points(const Program& program, const TopList& top, const BlockState& state,
                              const BlockState& moved, size_t lanes) {
    if (!top.transformed()) return state;
    std::memcpy(moved.x, state.x, lanes * sizeof(float));
    std::memcpy(moved.y, state.y, lanes * sizeof(float));
    std::memcpy(moved.z, state.z, lanes * sizeof(float));
    to_list_points(program, top, moved.x, moved.y, moved.z, lanes);
    return moved;
}

/// A block's results go to rows all over the output, each a cache miss
/// when written: their lines are fetched ahead, while the kernel runs.
inline void fetch_for_writing(float* out, const SortedRow* rows, size_t n) {
#if defined(__GNUC__) || defined(__clang__)
    for (size_t i = 0; i < n; ++i) __builtin_prefetch(out + (rows[i].row & kRowMask), 1, 1);
#else
    (void)out, (void)rows, (void)n;
#endif
}

/// A block's results to their rows. (The pointers are the function's own:
/// a store to `out` cannot change them, so the loop reloads nothing.)
inline void write_back(float* __restrict out, const SortedRow* __restrict rows, size_t n,
                       const float* __restrict d) {
    for (size_t i = 0; i < n; ++i) out[rows[i].row & kRowMask] = d[i];
}

/// Entries of the cell lists per row, at most (12 bytes each while built).
constexpr size_t kListedPerRow = 4;

/// Lists shorter than this are not worth choosing per cell.
constexpr uint32_t kMinCellListed = 64;

/// A pruning program over rows sorted in space, chunk by chunk, cell by
/// cell, block by block; the top list's children chosen per cell where
/// that can be done, else per block by the hierarchy.
void eval_points_pruned(const Program& program, const PointsView& view, float* out,
                        const Interrupt& interrupt, KernelChoice choice) {
    const size_t per_lane = 4 + 3 * size_t{program.point_depth} + program.value_depth;
    // Without lists of its own, a cell needs its rows close together, as
    // close as the rows themselves are: no transform is worth applying.
    TopList listed_top(program);
    const PruneIndex* top = listed_top.found() ? &program.indexes[listed_top.index] : nullptr;
    const bool per_cell_lists = top && top->child_count >= kMinCellListed;
    if (!per_cell_lists) listed_top.transforms_end = 0;
    const size_t block = per_cell_lists && per_lane * kListedBlock <= kMaxWorkspaceFloats
                             ? kListedBlock
                             : kPrunedBlock;
    std::unique_ptr<float[]> workspace(new float[per_lane * block]);
    std::unique_ptr<uint32_t[]> runs(new uint32_t[run_list_size(program)]);
    std::unique_ptr<double[]> scratch(new double[scratch_size(program)]);
    std::unique_ptr<uint32_t[]> chosen(new uint32_t[scratch_size(program)]);

    float* w = workspace.get();
    PollCounter polls(interrupt);
    BlockState state{w, w + block, w + 2 * block, w + 3 * block, w + 4 * block,
                     w + (4 + 3 * size_t{program.point_depth}) * block, block,
                     runs.get(), scratch.get(), &polls};
    const RowsKernel kernel = pick<RowsKernel>(choice, run_rows_baseline,
                                               SDF_AVX2_OR_NULL(run_rows_avx2),
                                               SDF_AVX2_OR_NULL(run_rows_avx512));
    const SeedBound seed_bound =
        pick<SeedBound>(choice, seed_bound_baseline, SDF_AVX2_OR_NULL(seed_bound_avx2),
                        SDF_AVX2_OR_NULL(seed_bound_avx512));
    if (top) state.preset_index = listed_top.index;
    // The list points of a block's rows, where the list's point is not the
    // row: the seeds' bound is over them.
    std::unique_ptr<float[]> moved(new float[listed_top.transformed() ? 3 * block : 0]);
    BlockState moved_state = state;
    if (listed_top.transformed()) {
        moved_state.x = moved.get();
        moved_state.y = moved.get() + block;
        moved_state.z = moved.get() + 2 * block;
    }
    for (size_t first = 0; first < view.rows; first += kSortChunk) {
        PointsView chunk = view;
        chunk.data += static_cast<ptrdiff_t>(first) * view.row_stride;
        chunk.rows = std::min(kSortChunk, view.rows - first);
        const SortedRows sorted =
            sort_rows(chunk, program, listed_top,
                      rows_per_cell(chunk.rows, per_cell_lists ? top->child_count : 0),
                      choice, polls);
        const size_t cells = sorted.grid.cells();
        CellLists lists;
        bool listed = false;
        if (per_cell_lists) {
            // Lists longer than half the children on average would save
            // little: the hierarchy (or every child) does as well. Their
            // memory stays within 48 bytes a row.
            std::vector<uint8_t> occupied(cells);
            size_t filled = 0;
            for (size_t c = 0; c < cells; ++c) {
                occupied[c] = sorted.start[c + 1] > sorted.start[c];
                filled += occupied[c];
            }
            const uint64_t half = uint64_t{filled} * top->child_count / 2;  // no wrap on 32 bits
            const size_t most = static_cast<size_t>(
                std::min<uint64_t>(half, uint64_t{kListedPerRow} * chunk.rows));
            listed = lists.build(*top, sorted.grid, occupied, sorted.box, most, polls);
        }
        // A cell's own list with its children's bounds (CellLists::bounded).
        const size_t longest = listed ? lists.longest() : 0;
        std::unique_ptr<uint32_t[]> listed_pcs(new uint32_t[longest]);
        std::unique_ptr<double[]> gap2(new double[longest]);
        std::unique_ptr<double[]> reach(new double[longest]);
        std::unique_ptr<float[]> up(new float[longest]);
        float* chunk_out = out + first;
        std::unique_ptr<SortedRow[]> group(new SortedRow[sorted.widest]);
        for (uint32_t g = 0; g < sorted.groups(); ++g) {
            const size_t first_cell = sorted.first_cell(g), last_cell = sorted.first_cell(g + 1);
            const size_t base = sorted.start[first_cell];
            if (sorted.start[last_cell] == base) continue;
            sort_group(sorted, g, group.get());
            for (size_t c = first_cell; c < last_cell; ++c) {
                const size_t lo = sorted.start[c] - base, hi = sorted.start[c + 1] - base;
                if (lo == hi) continue;
                // A cell without a list asks the hierarchy, once for its rows.
                // A cell with one chooses again per block, with a bound of
                // the value over the block's rows from the few children
                // nearest them: far tighter than its box allows.
                size_t count = SIZE_MAX;
                CellLists::Bounded own;
                if (listed && c < cells) {
                    const uint32_t cell = static_cast<uint32_t>(c);
                    const size_t on_list = lists.listed(*top, cell);
                    if (on_list == SIZE_MAX) {
                        count = collect_candidates(*top, lists.box(cell), chosen.get(),
                                                   scratch.get());
                    } else if (on_list >= kBoundedFrom) {
                        own = lists.bounded(cell, listed_pcs.get(), gap2.get(), reach.get(),
                                            up.get());
                    } else {
                        lists.kept(*top, cell, chosen.get(), count);
                    }
                }
                // Blocks of even sizes: a cell of 65 rows is two blocks of 33 and 32.
                const size_t blocks = (hi - lo + block - 1) / block;
                for (size_t b = 0; b < blocks; ++b) {
                    const size_t from = lo + (hi - lo) * b / blocks;
                    const size_t to = lo + (hi - lo) * (b + 1) / blocks;
                    const size_t lanes = load_rows(group.get() + from, to - from, state);
                    if (own.count != SIZE_MAX) {
                        double t = std::numeric_limits<double>::infinity();
                        if (own.seeds.count > 0) {
                            const float near = seed_bound(
                                own.seeds, list_points(program, listed_top, state, moved_state,
                                                       lanes),
                                lanes);
                            t = seed_threshold(near, own.far, own.seeds, own.margin);
                        }
                        count = keep_below(*top, listed_pcs.get(), gap2.get(), reach.get(),
                                           own.count, t, chosen.get());
                    }
                    fetch_for_writing(chunk_out, group.get() + from, to - from);
                    state.preset = count == SIZE_MAX ? nullptr : chosen.get();
                    state.preset_count = count;
                    kernel(program, state, lanes);
                    write_back(chunk_out, group.get() + from, to - from, state.d);
                }
            }
        }
    }
}

/// Floats in a cache line (of 64 bytes).
constexpr size_t kLineFloats = 16;

/// The first float at or after `at` that starts a cache line.
float* on_line(float* at) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(at);
    const uintptr_t line = kLineFloats * sizeof(float);
    return at + (line - address % line) % line / sizeof(float);
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
    // the children: with many more rows than children. Choosing per cell
    // costs less than choosing per block, so it pays sooner.
    const TopList found(program);
    const PruneIndex* top = found.found() ? &program.indexes[found.index] : nullptr;
    const bool cell_listed = top && top->child_count >= kMinCellListed &&
                             view.rows >= 4 * size_t{top->child_count};
    const bool block_pruned = program.widest_index >= kMinBlockPruned &&
                              view.rows >= 16 * size_t{program.widest_index};
    if ((cell_listed || block_pruned) && lanes_needed * kPrunedBlock <= kMaxWorkspaceFloats) {
        return eval_points_pruned(program, view, out, interrupt, choice);
    }
    // The three coordinate registers and the stacks, per lane.
    const size_t per_lane = 3 + 3 * size_t{program.point_depth} + program.value_depth;
    const size_t block =
        std::min(kBlock, kMaxWorkspaceFloats / per_lane / kVectorLanes * kVectorLanes);
    if (block == 0) return eval_points_singly(program, view, out, interrupt);
    // A last block short of whole vectors writes its distances here.
    // Lanes start on a cache line (and blocks are whole lines): a vector of
    // sixteen lanes is one line, read and written without a split.
    std::unique_ptr<float[]> workspace(new float[per_lane * block + block + kLineFloats]);
    float* w = on_line(workspace.get());
    float* const tail = w + per_lane * block;
    // The distance register of each block is its slice of `out` itself.
    // (A pruning program this deep comes here too: its run list is needed.)
    // Rows in their own order: the lists run every child (no scratch).
    const bool prunes = !program.indexes.empty();
    std::unique_ptr<uint32_t[]> runs(prunes ? new uint32_t[run_list_size(program)] : nullptr);
    PollCounter polls(interrupt);  // the kernel counts its work in it
    BlockState state{w, w + block, w + 2 * block, nullptr, w + 3 * block,
                     w + (3 + 3 * size_t{program.point_depth}) * block, block, runs.get(),
                     nullptr, &polls};
    // Every block runs the same fused runs over the same lanes: the first
    // decodes them for all.
    std::unique_ptr<block::FusedRunCache> fused(view.rows > block ? new block::FusedRunCache
                                                                  : nullptr);
    state.fused_runs = fused.get();
    // Where the AVX-512 kernel runs, a program that is one fused run reads
    // packed rows itself (whole vectors of them: a batch of at least one).
    const bool by_rows = use_avx512(choice) && view.rows >= kVectorLanes &&
                         block::rows_readable(view, kVectorLanes);
    std::unique_ptr<block::RowRun> row_run(by_rows ? new block::RowRun : nullptr);
    if (row_run && block::decode_row_run(program, state, *row_run)) state.row_run = row_run.get();
    const BlockKernel kernel =
        pick<BlockKernel>(choice, eval_block_baseline, SDF_AVX2_OR_NULL(eval_block_avx2),
                          SDF_AVX2_OR_NULL(eval_block_avx512));
    // A row run that keeps all it needs in registers (stores_row false)
    // never touches the block's lanes: it takes kRowRunChunk rows a call,
    // sparing the calls and setup of the blocks between, while whole
    // chunks last (the rest goes by blocks, a short one copied).
    size_t start = 0;
#ifdef SDF_HAVE_AVX2_KERNELS
    if (state.row_run && !state.row_run->stores_row && use_avx512(choice)) {
        for (; view.rows - start >= kRowRunChunk; start += kRowRunChunk) {
            state.d = out + start;
            if (!row_chunk_avx512(view, start, kRowRunChunk, state)) break;
        }
    }
#endif
    for (; start < view.rows; start += block) {
        const size_t n = std::min(block, view.rows - start);
        const bool whole = n == whole_vectors(n);
        state.d = whole ? out + start : tail;
        kernel(program, view, start, n, state);
        if (!whole) std::memcpy(out + start, tail, n * sizeof(float));
    }
}

}  // namespace sdf
