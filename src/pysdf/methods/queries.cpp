// Query methods: distance at a point or at many points, normals, marching.
#include <cstddef>
#include <memory>
#include <optional>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
#include "pysdf/messages.hpp"
#include "pysdf/methods/binder.hpp"
#include "pysdf/methods/borrow.hpp"
#include "pysdf/methods/convert.hpp"
#include "pysdf/methods/methods.hpp"
#include "pysdf/methods/numpy_api.hpp"
#include "sdf/batch.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/query.hpp"

namespace pysdf {
namespace {

/// Lets long computations stop when a signal handler (Ctrl-C) raised.
sdf::Interrupt python_signals() {
    return {[](void*) { return PyErr_CheckSignals() != 0; }, nullptr};
}

[[noreturn]] void throw_points_resized() {
    PyErr_SetString(PyExc_RuntimeError, text::kPointsResized);
    throw PythonError{};
}

/// python_signals, for points read in place: a signal handler may also
/// have resized the array read, so every poll checks, before the next rows
/// are read, that its memory is still there.
sdf::Interrupt signals_reading(const InPlaceLayout& in_place) {
    return {[](void* context) {
                if (PyErr_CheckSignals() != 0) return true;
                if (static_cast<const InPlaceLayout*>(context)->unchanged()) return false;
                PyErr_SetString(PyExc_RuntimeError, text::kPointsResized);
                return true;
            },
            const_cast<InPlaceLayout*>(&in_place)};
}

/// A result object of a query. One that cannot be made is an internal
/// failure: the cause goes to the unraisable hook, PanicException to the caller.
PyRef result(PyObject* made) {
    if (!made) {
        PyErr_WriteUnraisable(nullptr);
        throw Panic{text::kQueryResultNotCreated};
    }
    return PyRef::steal(made);
}

/// A new plain tuple of `items`, each a new reference (checked as result()
/// checks: a missing item is a failure to create the result). Built item
/// by item: a format string would be parsed again on every call.
template <size_t N>
PyRef tuple_of(PyRef (&&items)[N]) {
    for (PyRef& item : items) {
        if (!item) result(nullptr);
    }
    PyRef tuple = result(PyTuple_New(N));
    for (size_t i = 0; i < N; ++i) {
        // PyTuple_SetItem takes the item's reference, even when it fails.
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release()) != 0) {
            result(nullptr);
        }
    }
    return tuple;
}

/// A float result: the 32-bit value widened exactly.
PyRef float_of(float v) { return PyRef::steal(PyFloat_FromDouble(double{v})); }

PyRef float_tuple(sdf::Vec3 v) { return tuple_of({float_of(v.x), float_of(v.y), float_of(v.z)}); }

PyRef hit_tuple(const sdf::RayHit& hit) {
    return tuple_of({float_of(hit.t), float_tuple(hit.point)});
}

/// The common body of the two marching methods: `march(evaluator, origin,
/// dir, max_steps, max_dist, eps)` gives an optional result that
/// `to_python` turns into the return value; a miss is None.
template <class March, class ToPython>
PyObject* march_method(const MethodSignature& sig, PyObject* self, PyObject* args,
                       PyObject* kwargs, March march, ToPython to_python) {
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const SdfRef receiver = borrow_receiver(self);
        const sdf::Vec3 origin = extract_vec3(slots[0], sig.params[0]);
        const sdf::Vec3 dir = extract_vec3(slots[1], sig.params[1]);
        const uint32_t max_steps = extract_u32(slots[2], sig.params[2]);
        const float max_dist = extract_f32(slots[3], sig.params[3]);
        const float eps = extract_f32(slots[4], sig.params[4]);
        const Compiled& compiled = compiled_of(receiver.get());
        const sdf::Evaluator f(compiled.program, python_signals(), sdf::KernelChoice::Best,
                               compiled.steps.get());
        const auto result = march(f, origin, dir, max_steps, max_dist, eps);
        return result ? to_python(*result) : PyRef::borrow(Py_None);
    });
}

}  // namespace

PyObject* sdf_eval(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kEval);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const SdfRef receiver = borrow_receiver(self);
        const sdf::Vec3 p = extract_vec3(slots[0], sig.params[0]);
        const Compiled& compiled = compiled_of(receiver.get());
        const float d = sdf::evaluate(compiled.program, p, python_signals(), compiled.steps.get());
        return result(PyFloat_FromDouble(d));
    });
}

PyObject* sdf_normal(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kNormal);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const SdfRef receiver = borrow_receiver(self);
        const sdf::Vec3 p = extract_vec3(slots[0], sig.params[0]);
        const float eps = extract_f32(slots[1], sig.params[1]);
        const Compiled& compiled = compiled_of(receiver.get());
        const sdf::Evaluator f(compiled.program, python_signals(), sdf::KernelChoice::Best,
                               compiled.steps.get());
        return float_tuple(sdf::normal(f, p, eps));
    });
}

PyObject* sdf_raymarch(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kRaymarch);
    return march_method(sig, self, args, kwargs, sdf::raymarch, hit_tuple);
}

PyObject* sdf_raymarch_with_normal(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kRaymarchWithNormal);
    return march_method(sig, self, args, kwargs, sdf::raymarch_with_normal,
                        [](const sdf::RayHitWithNormal& hit) {
                            return tuple_of({hit_tuple(hit.hit), float_tuple(hit.normal)});
                        });
}

PyObject* sdf_eval_vec(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kEvalVec);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const SdfRef receiver = borrow_receiver(self);
        PyRef points;
        // On the heap: a thread ended inside astype at interpreter exit is
        // unwound by the C library, which leaves the address sanitizer's
        // marks of the frames below behind; a larger frame here puts the
        // unwinder's own locals onto those marks (a false report).
        const std::unique_ptr<InPlaceLayout> in_place(new InPlaceLayout);
        const sdf::PointsView view = points_view(slots[0], points, *in_place);
        float* out = nullptr;
        PyRef result = new_float32_vector(view.rows, out);
        // Making the result may have run Python code (a collection) too.
        if (!in_place->unchanged()) throw_points_resized();
        sdf::eval_points(program_of(receiver.get()), view, out, signals_reading(*in_place));
        return result;
    });
}

}  // namespace pysdf
