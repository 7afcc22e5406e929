// The Sdf methods: their entry points and the one table that describes each
// (name, receiver, parameters, entry point). The class's method definitions,
// their text signatures and the binder's signatures are all made from it.
#pragma once

#include <array>
#include <cstddef>

#include "pysdf/messages.hpp"
#include "pysdf/methods/binder.hpp"
#include "pysdf/python.hpp"

namespace pysdf {

// Static constructors: `self` is NULL and ignored.
PyObject* sdf_sphere(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_plane(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_segment(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_ray(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_voxel(PyObject* self, PyObject* args, PyObject* kwargs);
// Transforms.
PyObject* sdf_scale(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_translate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_rotate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_erode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_dilate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_dual(PyObject* self, PyObject* unused);
// Combinators.
PyObject* sdf_union(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_intersect(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_difference(PyObject* self, PyObject* args, PyObject* kwargs);
// Queries.
PyObject* sdf_normal(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_eval(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_eval_vec(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_raymarch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sdf_raymarch_with_normal(PyObject* self, PyObject* args, PyObject* kwargs);

enum class Receiver { Static, Instance };

/// One method of the class. Every parameter is required and may be given by
/// position or keyword; a method without parameters takes no arguments at
/// all (METH_NOARGS).
struct MethodEntry {
    const char* name;
    Receiver receiver;
    std::array<const char*, kMaxParams> params;
    size_t count;
    PyCFunctionWithKeywords with_arguments;  // methods with parameters
    PyCFunction without_arguments;           // methods without
};

template <size_t N>
constexpr MethodEntry method(const char* name, Receiver receiver, const char* const (&params)[N],
                             PyCFunctionWithKeywords function) {
    static_assert(N <= kMaxParams, "too many parameters");
    MethodEntry entry{name, receiver, {}, N, function, nullptr};
    for (size_t i = 0; i < N; ++i) entry.params[i] = params[i];
    return entry;
}

constexpr MethodEntry method(const char* name, Receiver receiver, PyCFunction function) {
    return {name, receiver, {}, 0, nullptr, function};
}

constexpr Receiver kStatic = Receiver::Static;
constexpr Receiver kInstance = Receiver::Instance;

inline constexpr MethodEntry kSphere = method("sphere", kStatic, {"center", "radius"}, sdf_sphere);
inline constexpr MethodEntry kPlane = method("plane", kStatic, {"point", "normal"}, sdf_plane);
inline constexpr MethodEntry kSegment = method("segment", kStatic, {"a", "b"}, sdf_segment);
inline constexpr MethodEntry kRay = method("ray", kStatic, {"origin", "dir"}, sdf_ray);
inline constexpr MethodEntry kVoxel = method("voxel", kStatic, {"py_chunk"}, sdf_voxel);
inline constexpr MethodEntry kScale = method("scale", kInstance, {"k"}, sdf_scale);
inline constexpr MethodEntry kTranslate = method("translate", kInstance, {"v"}, sdf_translate);
inline constexpr MethodEntry kRotate = method("rotate", kInstance, {"q"}, sdf_rotate);
inline constexpr MethodEntry kErode = method("erode", kInstance, {"r"}, sdf_erode);
inline constexpr MethodEntry kDilate = method("dilate", kInstance, {"r"}, sdf_dilate);
inline constexpr MethodEntry kDual = method("dual", kInstance, sdf_dual);
inline constexpr MethodEntry kUnion = method("union", kStatic, {"objs"}, sdf_union);
inline constexpr MethodEntry kIntersect = method("intersect", kStatic, {"objs"}, sdf_intersect);
inline constexpr MethodEntry kDifference = method("difference", kStatic, {"a", "b"}, sdf_difference);
inline constexpr MethodEntry kNormal = method("normal", kInstance, {"p", "eps"}, sdf_normal);
inline constexpr MethodEntry kEval = method("eval", kInstance, {"p"}, sdf_eval);
inline constexpr MethodEntry kEvalVec = method("eval_vec", kInstance, {"pts"}, sdf_eval_vec);
inline constexpr MethodEntry kRaymarch = method(
    "raymarch", kInstance, {"origin", "dir", "max_steps", "max_dist", "eps"}, sdf_raymarch);
inline constexpr MethodEntry kRaymarchWithNormal =
    method("raymarch_with_normal", kInstance, {"origin", "dir", "max_steps", "max_dist", "eps"},
           sdf_raymarch_with_normal);

/// The class's methods, in the order of its method table.
inline constexpr const MethodEntry* kMethodTable[] = {
    &kSphere, &kPlane, &kSegment, &kRay, &kVoxel, &kScale, &kTranslate,
    &kRotate, &kErode, &kDilate, &kDual, &kUnion, &kIntersect, &kDifference,
    &kNormal, &kEval, &kEvalVec, &kRaymarch, &kRaymarchWithNormal,
};

/// What the binder works from: the parameters, named in messages as
/// "Sdf.{name}()".
constexpr MethodSignature signature_of(const MethodEntry& entry) {
    return {entry.name, text::kClassName, entry.params, entry.count, 0, entry.count};
}

/// The doc the interpreter reads the text signature from, e.g.
/// "scale($self, k)\n--\n\n".
struct DocText {
    char text[96];
};

constexpr DocText doc_of(const MethodEntry& entry) {
    DocText doc{};
    size_t n = 0;
    auto put = [&](const char* s) {
        for (; *s; ++s) {
            if (n + 1 == sizeof doc.text) throw "text signature too long";  // fails to compile
            doc.text[n++] = *s;
        }
    };
    put(entry.name);
    put("(");
    const char* separator = "";
    if (entry.receiver == Receiver::Instance) {
        put("$self");
        separator = ", ";
    }
    for (size_t i = 0; i < entry.count; ++i, separator = ", ") {
        put(separator);
        put(entry.params[i]);
    }
    put(")\n--\n\n");
    return doc;
}

}  // namespace pysdf
