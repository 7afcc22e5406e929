// Entry points of the Sdf methods, in the order of the class's method table.
#pragma once

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

}  // namespace pysdf
