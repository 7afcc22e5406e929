// Batch evaluation: one program over the rows of a strided matrix.
#include "sdf/batch.hpp"

#include <cstring>

#include "sdf/evaluate.hpp"

namespace sdf {
namespace {

float read_float(const char* at) {
    float v;
    std::memcpy(&v, at, sizeof v);  // strides need not keep floats aligned
    return v;
}

constexpr size_t kPollInterval = size_t{1} << 20;

}  // namespace

void eval_points(const Program& program, const PointsView& view, float* out,
                 Interrupt interrupt) {
    if (view.rows == 0) return;
    if (view.cols < 3) throw ColumnsError{};
    const Evaluator f(program);
    const char* row = view.data;
    for (size_t i = 0; i < view.rows; ++i, row += view.row_stride) {
        const Vec3 p{read_float(row), read_float(row + view.col_stride),
                     read_float(row + 2 * view.col_stride)};
        out[i] = f(p);
        if ((i + 1) % kPollInterval == 0 && interrupt.poll &&
            interrupt.poll(interrupt.context)) {
            throw Interrupted{};
        }
    }
}

}  // namespace sdf
