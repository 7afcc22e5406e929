// Batch evaluation: one program over the rows of a strided matrix, in
// blocks of points run by the block interpreter (block_kernel.hpp). On
// x86-64 the interpreter is compiled twice, for the baseline and for AVX2,
// and the processor picks one at run time.
#include "sdf/batch.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

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
    eval_block(program, view, start, n, s);
}
#endif

using BlockKernel = void (*)(const Program&, const PointsView&, size_t, size_t,
                            const BlockState&);

BlockKernel pick_kernel(KernelChoice choice) {
#ifdef SDF_HAVE_AVX2_KERNELS
    if (use_avx2(choice)) return eval_block_avx2;
#endif
    (void)choice;
    return eval_block_baseline;
}

/// Too deep for block storage: one point at a time.
void eval_points_singly(const Program& program, const PointsView& view, float* out,
                        const Interrupt& interrupt) {
    const Evaluator f(program);
    PollCounter polls(program, interrupt);
    for (size_t i = 0; i < view.rows; ++i) {
        out[i] = f(read_row(view, i));
        polls.count(1);
    }
}

}  // namespace

void eval_points(const Program& program, const PointsView& view, float* out,
                 Interrupt interrupt, KernelChoice choice) {
    if (view.rows == 0) return;
    if (view.cols < 3) throw ColumnsError{};
    // The three coordinate registers and the stacks, per lane.
    const size_t per_lane = 3 + 3 * size_t{program.point_depth} + program.value_depth;
    const size_t block = std::min(kBlock, kMaxWorkspaceFloats / per_lane / 8 * 8);
    if (block == 0) return eval_points_singly(program, view, out, interrupt);
    std::unique_ptr<float[]> workspace(new float[per_lane * block]);
    float* w = workspace.get();
    // The distance register of each block is its slice of `out` itself.
    BlockState state{w, w + block, w + 2 * block, nullptr, w + 3 * block,
                     w + (3 + 3 * size_t{program.point_depth}) * block, block};
    const BlockKernel kernel = pick_kernel(choice);
    PollCounter polls(program, interrupt);
    for (size_t start = 0; start < view.rows; start += block) {
        const size_t n = std::min(block, view.rows - start);
        state.d = out + start;
        kernel(program, view, start, n, state);
        polls.count(n);
    }
}

}  // namespace sdf
