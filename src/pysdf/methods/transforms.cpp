// Transform methods: each wraps a copy of the receiver's tree in one node.
#include <cmath>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
#include "pysdf/methods/binder.hpp"
#include "pysdf/methods/borrow.hpp"
#include "pysdf/methods/convert.hpp"
#include "pysdf/methods/methods.hpp"

namespace pysdf {
namespace {

/// Binds the one argument, borrows the receiver, converts the argument with
/// `convert`, and returns a new Sdf whose root is `make(value, copy)`.
template <class Convert, class Make>
PyObject* transform(const MethodSignature& sig, PyObject* self, PyObject* args, PyObject* kwargs,
                    Convert convert, Make make) {
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const SdfRef receiver = borrow_receiver(self);
        const auto value = convert(slots[0], sig.params[0]);
        sdf::Tree copy(sdf::copy_tree(receiver.tree()));
        auto wrap = [&](const sdf::SdfNode& child) { return make(value, child); };
        return new_sdf(sdf::adopt(wrap, copy));
    });
}

/// q divided by its length, sqrt((y*y + w*w) + (x*x + z*z)): four divisions,
/// no guard for a zero quaternion.
sdf::Quat unit_quaternion(sdf::Quat q) {
    const float len = std::sqrt((q.y * q.y + q.w * q.w) + (q.x * q.x + q.z * q.z));
    return {q.x / len, q.y / len, q.z / len, q.w / len};
}

}  // namespace

PyObject* sdf_scale(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kScale);
    return transform(sig, self, args, kwargs, extract_f32, sdf::make_scale);
}

PyObject* sdf_translate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kTranslate);
    return transform(sig, self, args, kwargs, extract_vec3, sdf::make_translate);
}

PyObject* sdf_rotate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kRotate);
    return transform(sig, self, args, kwargs, extract_quat,
                     [](sdf::Quat q, const sdf::SdfNode& child) {
                         return sdf::make_rotate(unit_quaternion(q), child);
                     });
}

PyObject* sdf_erode(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kErode);
    return transform(sig, self, args, kwargs, extract_f32, sdf::make_erode);
}

PyObject* sdf_dilate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kDilate);
    return transform(sig, self, args, kwargs, extract_f32, sdf::make_dilate);
}

PyObject* sdf_dual(PyObject* self, PyObject*) {
    return guarded_call([&] {
        const SdfRef receiver = borrow_receiver(self);
        sdf::Tree copy(sdf::copy_tree(receiver.tree()));
        return new_sdf(sdf::adopt(sdf::make_dual, copy));
    });
}

}  // namespace pysdf
