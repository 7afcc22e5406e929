"""Coverage-guided fuzzing of the Sdf methods' argument conversion, of voxel
chunks and of eval_vec point arrays.

Each input is decoded with atheris.FuzzedDataProvider into one method call:
the method, its receiver, and for every parameter either a well-formed value
of the expected kind or an arbitrary one (None, strings, bytes, huge ints,
NaN and infinities, tuple/int/float subclasses, objects whose __float__,
__index__, __len__ or __iter__ misbehave, NumPy arrays of any dtype and
shape, views through negative, zero, unaligned or huge strides over valid
memory). A finding is any outcome other than a result of the method's type
or one of the documented exceptions, a voxel or eval_vec result that differs
from the one for a contiguous copy of the same data, or a shape that changed.

Short bounded run (what CI-sized checks use):
    python tools/fuzz_atheris.py -runs=20000

Longer runs keep a corpus and can run in parallel; a finding is written to
./crash-<hash> and replayed with `python tools/fuzz_atheris.py crash-<hash>`:
    mkdir -p build/fuzz-corpus
    python tools/fuzz_atheris.py build/fuzz-corpus -max_total_time=3600 -jobs=2 -workers=2

Coverage comes from the instrumented Python of this harness (which value
forms and outcome branches were reached); the extension carries no coverage
counters unless built with clang's -fsanitize=fuzzer-no-link. GCC's
sanitizer runtime also provides the coverage hooks, so under the sanitizer
build of tools/sanitize.sh libFuzzer sees no coverage at all: grow the
corpus with the plain build first, then replay it (and mutate it blindly)
against the sanitizer build, where a memory error aborts with a report:
    LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libubsan.so)" \\
    ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH=build/sanitize \\
        python tools/fuzz_atheris.py build/fuzz-corpus -runs=100000

Each call runs under a 50 ms alarm whose handler raises: a march of up to
2**32 - 1 steps that never hits is cut short, which exercises interruption.
The extension is imported from PYTHONPATH if set there, else from build/dev.
"""

import math
import os
import signal
import sys
import warnings

import atheris

import numpy as np

try:
    from tessaron import Sdf
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "dev"))
    from tessaron import Sdf

# The misbehaving values are the fuzz suite's own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from hostile import HOWS, SHAPES, Flt, Hostile, Int, Proto, Pts, Tup  # noqa: E402

warnings.simplefilter("ignore")
try:
    Sdf.voxel(np.zeros((15, 16, 16), np.uint8))
except BaseException as e:  # noqa: B036 - the panic type is not reachable by name
    Panic = type(e)


class Slow(Exception):
    """Raised by the alarm handler: a march or batch that runs too long."""


ARMED = [False]  # the alarm raises only while a call is running


def too_slow(*_):
    if ARMED[0]:
        raise Slow


PROBE = [(0.5, 0.25, 2.0), (3.0, 4.0, 5.0)]
BEFORE = repr([[s.eval(p) for p in PROBE] for s in SHAPES])
DTYPES = [np.uint8, np.int8, np.bool_, np.uint16, np.int32, np.int64, np.float16, np.float32, ">f4", np.float64,
          np.complex64, "M8[s]", "U3", "S2", object]
SIDES = [0, 1, 2, 3, 4, 15, 16, 17]
MARCH = ["vec3", "vec3", "u32", "f32", "f32"]
METHODS = [("sphere", 1, ["vec3", "f32"]), ("plane", 1, ["vec3", "vec3"]), ("segment", 1, ["vec3", "vec3"]),
           ("ray", 1, ["vec3", "vec3"]), ("voxel", 1, ["chunk"]), ("union", 1, ["seq"]), ("intersect", 1, ["seq"]),
           ("difference", 1, ["sdf", "sdf"]), ("scale", 0, ["f32"]), ("translate", 0, ["vec3"]),
           ("rotate", 0, ["quat"]), ("erode", 0, ["f32"]), ("dilate", 0, ["f32"]), ("dual", 0, []),
           ("normal", 0, ["vec3", "f32"]), ("eval", 0, ["vec3"]), ("eval_vec", 0, ["pts"]),
           ("raymarch", 0, MARCH), ("raymarch_with_normal", 0, MARCH)]


@atheris.instrument_func
def number(fdp):
    pick = fdp.ConsumeIntInRange(0, 7)
    if pick == 0:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))  # up to 96 bits
    if pick == 1:
        return fdp.ConsumeFloat()  # includes NaN, infinities, denormals
    if pick == 2:
        return fdp.PickValueInList([math.nan, -0.0, 1e39, -1e-46, 2**64, -1, True, Int(3), Flt(-1.0)])
    if pick == 3:
        return Proto(number(fdp), fdp.PickValueInList(list(HOWS)))
    if pick == 4:
        return fdp.PickValueInList([np.float32(1.5), np.int64(-2), np.array(3.0), np.array([1.0])])
    return fdp.ConsumeRegularFloat() if pick < 6 else fdp.ConsumeIntInRange(0, 70)


@atheris.instrument_func
def array(fdp, dtype=None, ndim=None, sides=SIDES):
    """A C-ordered array, or a view through arbitrary strides, from fuzzer bytes."""
    dtype = np.dtype(dtype if dtype is not None else fdp.PickValueInList(DTYPES))
    ndim = ndim if ndim is not None else fdp.ConsumeIntInRange(0, 4)
    shape = [fdp.PickValueInList(sides) for _ in range(ndim)]
    count = int(np.prod(shape))
    if dtype.hasobject or dtype.kind == "U":  # item by item: valid text; a Proto is not a sequence
        items = np.full(count, "1" if dtype.kind == "U" else 1.0, dtype)
        for i in range(min(count, 8)):
            items[i] = fdp.ConsumeUnicodeNoSurrogates(3) if dtype.kind == "U" else number(fdp)
        return items.reshape(shape)
    if fdp.ConsumeBool():
        raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
        data = (raw * (count * dtype.itemsize // max(len(raw), 1) + 1))[:count * dtype.itemsize]
        return np.frombuffer(data.ljust(count * dtype.itemsize, b"\0"), dtype).reshape(shape)
    steps = [fdp.ConsumeIntInRange(-400, 400) if n > 1 else fdp.PickValueInList([0, 2**62, -2**40, 7])
             for n in shape]
    lo = 0 if 0 in shape else sum(min(0, s * (n - 1)) for n, s in zip(shape, steps))
    hi = 0 if 0 in shape else sum(max(0, s * (n - 1)) for n, s in zip(shape, steps))
    raw = fdp.ConsumeBytes(64) or b"\1"
    buf = np.frombuffer((raw * ((hi - lo + dtype.itemsize) // len(raw) + 1))[:hi - lo + dtype.itemsize], np.uint8)
    return np.ndarray(shape, dtype, buffer=buf, offset=-lo, strides=steps)


@atheris.instrument_func
def value(fdp, kind, depth=0):
    if depth > 2:
        return None
    if fdp.ConsumeIntInRange(0, 9) == 0:
        kind = fdp.PickValueInList(["any", "vec3", "quat", "f32", "u32", "sdf", "seq", "chunk", "pts"])
    if kind in ("vec3", "quat"):
        n = 3 if kind == "vec3" else 4
        n = n if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeIntInRange(0, 6)
        items = tuple(number(fdp) for _ in range(n))
        return Tup(items) if fdp.ConsumeIntInRange(0, 9) == 0 else items
    if kind in ("f32", "u32"):
        return number(fdp)
    if kind == "sdf":
        return fdp.PickValueInList(SHAPES)
    if kind == "seq":
        items = [fdp.PickValueInList(SHAPES) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        pick = fdp.ConsumeIntInRange(0, 5)
        return [items, tuple(items), items + [value(fdp, "any", depth + 1)], "ab", b"\0",
                Proto(fdp.ConsumeIntInRange(0, 9), fdp.PickValueInList(list(HOWS)))][pick]
    if kind == "chunk":
        return array(fdp, fdp.PickValueInList([np.uint8, np.uint8, np.int8, np.bool_]), 3, [16, 16, 17, 15, 0])
    if kind == "pts":
        pts = array(fdp, fdp.PickValueInList([np.float32, np.float64, np.int64, ">f4", "U3", object]),
                    fdp.PickValueInList([2, 2, 1, 3]))
        return Pts(pts) if fdp.ConsumeBool() else pts
    return fdp.PickValueInList([None, "", "xyz", b"12", [1, 2, 3], {}, set(), Sdf, object(), 1j, ...,
                                array(fdp), number(fdp), value(fdp, "vec3", depth + 1)])


def bits(values):
    """Bit patterns, with every NaN alike: which operand's NaN an instruction
    keeps (its sign and payload) is the processor's choice."""
    a = np.asarray(values, np.float32)
    return np.where(np.isnan(a), np.float32(np.nan), a).view(np.uint32).tolist()


@atheris.instrument_func
def check_arrays(name, receiver, arg, result, error):
    """voxel and eval_vec must read exactly what a contiguous copy holds."""
    if name == "voxel":
        if isinstance(arg, np.ndarray) and arg.ndim == 3 and arg.dtype == np.uint8 and min(arg.shape) >= 16:
            assert error is None, error
            expected = Sdf.voxel(np.ascontiguousarray(arg[:16, :16, :16]))
            cells = [(0, 0, 0), (15, 15, 15), (3.5, 7, 12.25)]
            assert bits([result.eval(c) for c in cells]) == bits([expected.eval(c) for c in cells])
        return
    try:
        conv = arg.astype("float32")
    except Exception as e:
        assert type(error) is type(e), (error, e)
        return
    if isinstance(conv, np.ndarray) and conv.ndim == 2 and conv.dtype == np.float32 and conv.dtype.isnative:
        if conv.shape[0] and conv.shape[1] < 3:
            assert type(error) is Panic, error
        else:
            rows = [receiver.eval(tuple(map(float, row[:3]))) for row in conv]
            assert error is None and bits(result) == bits(rows), (error, result, rows)
    else:
        assert type(error) is TypeError, error


@atheris.instrument_func
def result_ok(name, r):
    vec = type(r) is tuple and len(r) == 3 and all(type(c) is float for c in r)
    if name == "normal":
        return vec
    if name in ("raymarch", "raymarch_with_normal"):
        hit = r if name == "raymarch" else (r[0] if type(r) is tuple and len(r) == 2 else None)
        hit_ok = type(hit) is tuple and len(hit) == 2 and type(hit[0]) is float and result_ok("normal", hit[1])
        return r is None or hit_ok and (name == "raymarch" or result_ok("normal", r[1]))
    if name == "eval":
        return type(r) is float
    if name == "eval_vec":
        return type(r) is np.ndarray and r.dtype == np.float32 and r.ndim == 1
    return type(r) is Sdf


@atheris.instrument_func
def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    name, static, kinds = fdp.PickValueInList(METHODS)
    params = getattr(Sdf, name).__text_signature__.strip("()").replace("$self, ", "").replace("$self", "")
    names = [p for p in params.split(", ") if p]
    values = [value(fdp, kind) for kind in kinds]
    receiver = fdp.PickValueInList(SHAPES) if fdp.ConsumeIntInRange(0, 15) else value(fdp, "any")
    split = fdp.ConsumeIntInRange(0, len(values))
    args, kwargs = values[:split], dict(zip(names[split:], values[split:]))
    if fdp.ConsumeIntInRange(0, 20) == 0:
        kwargs[fdp.PickValueInList(["p", "x", "objs", "eps"])] = None
    method = getattr(Sdf, name)
    result = error = None
    ARMED[0] = True
    signal.setitimer(signal.ITIMER_REAL, 0.05)  # a march of 2**32 - 1 steps may never hit
    try:
        result = method(*args, **kwargs) if static else method(receiver, *args, **kwargs)
    except (TypeError, ValueError, OverflowError, Hostile) as e:
        error = e
    except Slow:  # cut short by the alarm: interruption is itself an outcome to survive
        return
    except AttributeError as e:
        assert name == "eval_vec", e
        error = e
    except Panic as e:
        assert name in ("voxel", "eval_vec") and e.args == ("ndarray: index out of bounds",), e
        error = e
    finally:
        ARMED[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
    if error is None:
        assert result_ok(name, result), (name, result)
    clean = (not any(isinstance(v, Proto) for v in values) and len(kwargs) + len(args) == len(names)
             and (static or type(receiver) is Sdf))
    if clean and name in ("voxel", "eval_vec") and hasattr(values[0], "astype"):
        check_arrays(name, receiver, values[0], result, error)
    assert repr([[s.eval(p) for p in PROBE] for s in SHAPES]) == BEFORE


def main():
    signal.signal(signal.SIGALRM, too_slow)
    # Inputs of full length from the start: a call decodes from up to ~1 KiB.
    atheris.Setup(sys.argv[:1] + ["-max_len=1024", "-len_control=0"] + sys.argv[1:], TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
