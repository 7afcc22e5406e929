// Evaluation of one program over many points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdf/cpu.hpp"
#include "sdf/program.hpp"
#include "sdf/poll.hpp"

namespace sdf {

/// A read-only N x M matrix of floats reached through byte strides of
/// either sign; column 0, 1, 2 of a row are x, y, z.
struct PointsView {
    const char* data;
    size_t rows;
    size_t cols;
    ptrdiff_t row_stride;  // bytes
    ptrdiff_t col_stride;  // bytes
};

/// Thrown when a row has fewer than three columns.
struct ColumnsError {};

/// out[i] = distance at row i, bit-identical to evaluating each row alone.
void eval_points(const Program& program, const PointsView& view, float* out,
                 Interrupt interrupt = {}, KernelChoice kernel = KernelChoice::Best);

}  // namespace sdf
