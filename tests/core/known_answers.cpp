// Reads the known answers of the float32 model and checks the core against
// them: the single-point evaluator, both batch kernels, normals and marches.
// Trees are built with the core's node interface, normalising plane normals
// and ray directions the way the constructors do.
#include "known_answers.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core_adapter.hpp"
#include "sdf/vec.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace core_checks {
namespace {

struct BadRecord {
    std::string what;
};

uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

/// Bit for bit, except that any NaN matches any NaN: which NaN an operation
/// produces or keeps differs between architectures (x86 and AArch64 give
/// the default NaN different signs and keep different operands' NaNs).
bool same_value(float got, float want) {
    return bits_of(got) == bits_of(want) || (got != got && want != want);
}

/// The whitespace-separated fields of one record.
class Fields {
  public:
    explicit Fields(const std::string& line) {
        std::istringstream in(line);
        std::string field;
        while (in >> field) fields_.push_back(field);
    }
    const std::string& next() {
        if (at_ >= fields_.size()) throw BadRecord{"record too short"};
        return fields_[at_++];
    }
    float f32() {
        const std::string& hex = next();
        if (hex.size() != 8) throw BadRecord{"bad float field " + hex};
        const uint32_t b = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
        float v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
    sdf::Vec3 vec() {
        const float x = f32();
        const float y = f32();
        const float z = f32();
        return {x, y, z};
    }
    unsigned long count() { return std::stoul(next()); }
    bool done() const { return at_ == fields_.size(); }
    /// Takes the next field if it is `word`.
    bool take(const char* word) {
        if (done() || fields_[at_] != word) return false;
        ++at_;
        return true;
    }

  private:
    std::vector<std::string> fields_;
    size_t at_ = 0;
};

/// A grid record: 4096 occupancy bits as hex digits, cell i in bit i.
sdf::VoxelGrid* parse_grid(Fields& in) {
    const std::string& hex = in.next();
    if (hex.size() != sdf::kChunkCells / 4) throw BadRecord{"bad occupancy"};
    std::vector<uint8_t> cells(sdf::kChunkCells);
    for (int i = 0; i < sdf::kChunkCells; ++i) {
        const char digit[2] = {hex[hex.size() - 1 - i / 4], 0};
        cells[i] = (std::stoul(digit, nullptr, 16) >> (i % 4)) & 1;
    }
    return sdf::new_voxel_grid(sdf::kChunk, sdf::build_voxel_grid(cells.data()));
}

/// A tree in prefix order. Each operand is read in a statement of its own:
/// the order of the fields is the order of the reads.
sdf::SdfNode parse_tree(Fields& in, const std::vector<sdf::VoxelGrid*>& grids) {
    const std::string kind = in.next();
    if (kind == "sphere") {
        const sdf::Vec3 c = in.vec();
        return sdf::make_sphere(c, in.f32());
    }
    if (kind == "plane" || kind == "ray") {
        const sdf::Vec3 o = in.vec();
        const sdf::Vec3 unit = sdf::normalized(in.vec());
        return kind == "plane" ? sdf::make_plane(o, unit) : sdf::make_ray(o, unit);
    }
    if (kind == "segment") {
        const sdf::Vec3 a = in.vec();
        return sdf::make_segment(a, in.vec());
    }
    if (kind == "voxel") {
        const unsigned long g = in.count();
        if (g >= grids.size()) throw BadRecord{"unknown grid"};
        sdf::grid_acquire(grids[g]);
        return sdf::make_voxel(grids[g]);
    }
    if (kind == "union" || kind == "intersect") {
        const unsigned long n = in.count();
        sdf::SdfNode list =
            sdf::make_list(kind == "union" ? sdf::Kind::Union : sdf::Kind::Intersect, n);
        for (unsigned long i = 0; i < n; ++i) sdf::list_push(list, parse_tree(in, grids));
        return list;
    }
    if (kind == "difference") {
        const sdf::SdfNode a = parse_tree(in, grids);
        return sdf::make_difference(a, parse_tree(in, grids));
    }
    if (kind == "dual") return sdf::make_dual(parse_tree(in, grids));
    if (kind == "translate") {
        const sdf::Vec3 v = in.vec();
        return sdf::make_translate(v, parse_tree(in, grids));
    }
    if (kind == "rotate") {
        const sdf::Vec3 u = in.vec();
        const float w = in.f32();
        return sdf::make_rotate({u.x, u.y, u.z, w}, parse_tree(in, grids));
    }
    if (kind == "dilate" || kind == "erode" || kind == "scale") {
        const float k = in.f32();
        const sdf::SdfNode child = parse_tree(in, grids);
        if (kind == "dilate") return sdf::make_dilate(k, child);
        if (kind == "erode") return sdf::make_erode(k, child);
        return sdf::make_scale(k, child);
    }
    throw BadRecord{"unknown kind " + kind};
}

/// Counts and prints mismatches.
class Report {
  public:
    void compare(float got, float want, const char* what, long line) {
        if (same_value(got, want)) return;
        if (mismatches_++ < 20) {
            std::printf("known answers, line %ld: %s: got %08x, want %08x\n", line, what,
                        static_cast<unsigned>(bits_of(got)), static_cast<unsigned>(bits_of(want)));
        }
    }
    void compare(sdf::Vec3 got, sdf::Vec3 want, const char* what, long line) {
        compare(got.x, want.x, what, line);
        compare(got.y, want.y, what, line);
        compare(got.z, want.z, what, line);
    }
    void fail(const char* what, long line) {
        if (mismatches_++ < 20) std::printf("known answers, line %ld: %s\n", line, what);
    }
    long mismatches() const { return mismatches_; }

  private:
    long mismatches_ = 0;
};

/// One tree and the points of its eval records, checked at the end through
/// both batch kernels.
class Case {
  public:
    Case(Fields& in, const std::vector<sdf::VoxelGrid*>& grids, long line)
        : root_(parse_tree(in, grids)), line_(line) {
        shape_.reset(new Shape(root_));
    }
    ~Case() {
        shape_.reset();
        sdf::release_tree(root_);
    }
    Case(const Case&) = delete;
    Case& operator=(const Case&) = delete;

    void check(const std::string& record, Fields& in, Report& report, long line) {
        if (record == "eval") {
            const sdf::Vec3 p = in.vec();
            const float want = in.f32();
            report.compare(shape_->distance(p), want, "distance", line);
            points_.insert(points_.end(), {p.x, p.y, p.z});
            wanted_.push_back(want);
        } else if (record == "normal") {
            const sdf::Vec3 p = in.vec();
            const float h = in.f32();
            report.compare(shape_->normal(p, h), in.vec(), "normal", line);
        } else if (record == "march") {
            check_march(in, report, line);
        } else {
            throw BadRecord{"unknown record " + record};
        }
    }

    /// The eval points again as one batch, cycled to more than one block so
    /// that full and partial blocks both run, through each kernel.
    void check_batches(Report& report) const {
        if (wanted_.empty()) return;
        const size_t rows = 300;
        std::vector<float> points(rows * 4);
        for (size_t i = 0; i < rows; ++i) {
            std::memcpy(&points[i * 4], &points_[(i % wanted_.size()) * 3], 3 * sizeof(float));
        }
        for (sdf::KernelChoice kernel : {sdf::KernelChoice::Baseline, sdf::KernelChoice::Avx2,
                                         sdf::KernelChoice::Avx512}) {
            std::vector<float> out(rows);
            shape_->distances(points.data(), rows, 4, out.data(), kernel);
            const char* what = kernel == sdf::KernelChoice::Baseline ? "baseline batch"
                               : kernel == sdf::KernelChoice::Avx2   ? "avx2 batch"
                                                                     : "avx-512 batch";
            for (size_t i = 0; i < rows; ++i) {
                report.compare(out[i], wanted_[i % wanted_.size()], what, line_);
            }
        }
    }

  private:
    void check_march(Fields& in, Report& report, long line) {
        const sdf::Vec3 origin = in.vec();
        const sdf::Vec3 dir = in.vec();
        const uint32_t steps = static_cast<uint32_t>(in.count());
        const float max_dist = in.f32();
        const float eps = in.f32();
        const auto hit = shape_->march(origin, dir, steps, max_dist, eps);
        const auto with_normal = shape_->march_with_normal(origin, dir, steps, max_dist, eps);
        if (in.take("-")) {
            if (hit || with_normal) report.fail("march hits, the model misses", line);
            return;
        }
        const float t = in.f32();
        const sdf::Vec3 point = in.vec();
        const sdf::Vec3 normal = in.vec();
        if (!hit || !with_normal) {
            report.fail("march misses, the model hits", line);
            return;
        }
        report.compare(hit->t, t, "march t", line);
        report.compare(hit->point, point, "march point", line);
        report.compare(with_normal->hit.t, t, "march t (with normal)", line);
        report.compare(with_normal->hit.point, point, "march point (with normal)", line);
        report.compare(with_normal->normal, normal, "march normal", line);
    }

    sdf::SdfNode root_;
    std::unique_ptr<Shape> shape_;
    long line_;
    std::vector<float> points_;
    std::vector<float> wanted_;
};

}  // namespace

long check_known_answers(const char* path) {
    std::ifstream file(path);
    if (!file) {
        std::printf("cannot read the known answers: %s\n", path);
        return -1;
    }
    Report report;
    std::vector<sdf::VoxelGrid*> grids;
    std::unique_ptr<Case> current;
    long line_number = 0, records = 0;
    std::string line;
    try {
        while (std::getline(file, line)) {
            ++line_number;
            Fields in(line);
            if (line.empty() || line[0] == '#') continue;
            const std::string record = in.next();
            if (record == "grid") {
                if (in.count() != grids.size()) throw BadRecord{"grids out of order"};
                grids.push_back(parse_grid(in));
            } else if (record == "tree") {
                if (current) current->check_batches(report);
                current.reset();
                current.reset(new Case(in, grids, line_number));
            } else {
                if (!current) throw BadRecord{"a query before the first tree"};
                current->check(record, in, report, line_number);
            }
            if (!in.done()) throw BadRecord{"record too long"};
            ++records;
        }
        if (current) current->check_batches(report);
    } catch (const BadRecord& bad) {
        std::printf("known answers, line %ld: %s\n", line_number, bad.what.c_str());
        report.fail("unreadable record", line_number);
    } catch (const std::exception& e) {  // a number that does not parse
        std::printf("known answers, line %ld: %s\n", line_number, e.what());
        report.fail("unreadable record", line_number);
    }
    current.reset();
    for (sdf::VoxelGrid* grid : grids) sdf::grid_release(grid);
    std::printf("known answers: %ld records, %ld mismatches\n", records, report.mismatches());
    return report.mismatches();
}

}  // namespace core_checks
