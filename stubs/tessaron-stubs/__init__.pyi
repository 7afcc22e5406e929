"""Type information for the tessaron extension module."""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

from typing_extensions import Never

import numpy
import numpy.typing

__all__ = ["Sdf"]

# Numbers are converted with float(), so ints, bools and NumPy scalars all do.
_Float = SupportsFloat | SupportsIndex
# Points, directions and offsets are plain tuples (or tuple subclasses such as
# named tuples); lists and arrays are refused at runtime.
_Vec3 = tuple[_Float, _Float, _Float]
# Quaternions are (x, y, z, w): the vector part first, the scalar part last.
_Quat = tuple[_Float, _Float, _Float, _Float]
_Hit = tuple[float, tuple[float, float, float]]

@type_check_only
class _SupportsAstype(Protocol):
    # eval_vec calls pts.astype("float32") and needs an N x 3 (or wider) array back.
    def astype(self, dtype: str, /) -> Any: ...

@final
class Sdf:
    """An immutable signed distance function over 3-D space, in single precision.

    Instances are made only by the static constructors and the methods; the class
    can be neither instantiated directly nor subclassed.
    """

    # Calling the class raises TypeError; a parameter no value can match makes
    # every such call an error for the type checker as well.
    def __new__(cls, never: Never, /) -> Sdf: ...
    @staticmethod
    def sphere(center: _Vec3, radius: _Float) -> Sdf:
        """Ball about `center`: signed distance |p - center| - radius."""
    @staticmethod
    def plane(point: _Vec3, normal: _Vec3) -> Sdf:
        """Half-space through `point`, outside along `normal`: signed distance to the plane."""
    @staticmethod
    def segment(a: _Vec3, b: _Vec3) -> Sdf:
        """Unsigned distance to the line segment from `a` to `b` (NaN when a == b)."""
    @staticmethod
    def ray(origin: _Vec3, dir: _Vec3) -> Sdf:
        """Unsigned distance to the half-line from `origin` along `dir` (normalised)."""
    @staticmethod
    def voxel(py_chunk: numpy.typing.NDArray[numpy.uint8]) -> Sdf:
        """Unsigned distance, in cells, to the non-zero cells of chunk[:16, :16, :16] (last axis is x)."""
    def scale(self, k: _Float) -> Sdf:
        """This shape scaled by `k` about the origin; its distances scale by `k` too."""
    def translate(self, v: _Vec3) -> Sdf:
        """This shape moved by the vector `v`."""
    def rotate(self, q: _Quat) -> Sdf:
        """This shape rotated about the origin by the quaternion q = (x, y, z, w), normalised."""
    def erode(self, r: _Float) -> Sdf:
        """This shape shrunk by `r`: distance + r."""
    def dilate(self, r: _Float) -> Sdf:
        """This shape grown by `r`: distance - r."""
    def dual(self) -> Sdf:
        """The complement of this shape: distance negated."""
    @staticmethod
    def union(objs: Sequence[Sdf]) -> Sdf:
        """Union: the minimum of the shapes' distances (NaN skipped; +inf for none)."""
    @staticmethod
    def intersect(objs: Sequence[Sdf]) -> Sdf:
        """Intersection: the maximum of the shapes' distances (NaN skipped; -inf for none)."""
    @staticmethod
    def difference(a: Sdf, b: Sdf) -> Sdf:
        """`a` with `b` cut away: max(d_a, -d_b)."""
    def normal(self, p: _Vec3, eps: _Float) -> tuple[float, float, float]:
        """Unit gradient (x, y, z) at `p` by central differences of step `eps`, unitless."""
    def eval(self, p: _Vec3) -> float:
        """Signed distance at the point `p`, in the units of the coordinates."""
    def eval_vec(self, pts: _SupportsAstype) -> numpy.typing.NDArray[numpy.float32]:
        """Signed distances at the rows (x, y, z) of an N x 3 array: a new float32 array of N."""
    def raymarch(
        self, origin: _Vec3, dir: _Vec3, max_steps: SupportsIndex, max_dist: _Float, eps: _Float
    ) -> _Hit | None:
        """First surface sample (t, (x, y, z)), t the distance along the normalised `dir`; None on a miss."""
    def raymarch_with_normal(
        self, origin: _Vec3, dir: _Vec3, max_steps: SupportsIndex, max_dist: _Float, eps: _Float
    ) -> tuple[_Hit, tuple[float, float, float]] | None:
        """As raymarch, with the unit normal there: ((t, (x, y, z)), (nx, ny, nz)); None on a miss."""
