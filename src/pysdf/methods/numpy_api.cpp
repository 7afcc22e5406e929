// Reaching NumPy's C array interface without NumPy's headers: the module
// uses four entries of the interface table and the public array record,
// both stable across NumPy 1.x and 2.x, declared here.
#include "pysdf/methods/numpy_api.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "module/guarded_call.hpp"
#include "pysdf/messages.hpp"
#include "pysdf/methods/convert.hpp"

namespace pysdf {
namespace {

using npy_intp = Py_ssize_t;

/// The leading fields of NumPy's array object.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
};

// Element type numbers and the C order flag.
constexpr int kTypeUByte = 2;
constexpr int kTypeFloat = 11;
constexpr int kOrderC = 0;

// Positions in the interface table. The table starts with the function that
// returns the ABI version of its layout; the positions below hold in the
// layouts of NumPy 1.x and 2.x, and only in those.
constexpr int kSlotAbiVersion = 0;
constexpr unsigned kAbiVersion1 = 0x01000009;
constexpr unsigned kAbiVersion2 = 0x02000000;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotEmpty = 184;

using AbiVersion = unsigned (*)();
using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using NewArray = PyObject* (*)(int, const npy_intp*, PyObject*, int);

struct NumpyApi {
    PyTypeObject* array_type;
    DescrFromType descr_from_type;
    EquivTypes equiv_types;
    NewArray empty;
};

NumpyApi g_api;
std::atomic<bool> g_loaded{false};

/// Imports NumPy and reads the interface capsule. Throws PythonError.
void load_api() {
    PyRef numpy = PyRef::check(PyImport_ImportModule("numpy"));
    PyRef version = PyRef::check(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef lib = PyRef::check(PyImport_ImportModule("numpy.lib"));
    PyRef parsed = PyRef::check(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    PyRef major_obj = PyRef::check(PyObject_GetAttrString(parsed.get(), "major"));
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw PythonError{};
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_OverflowError, "NumPy major version out of range");
        throw PythonError{};
    }
    const char* name = major > 1 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyRef multiarray = PyRef::check(PyImport_ImportModule(name));
    PyRef capsule = PyRef::check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        throw PythonError{};
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!pointer) throw PythonError{};
    void** table = static_cast<void**>(pointer);
    const unsigned abi = reinterpret_cast<AbiVersion>(table[kSlotAbiVersion])();
    if (abi != kAbiVersion1 && abi != kAbiVersion2) {
        PyErr_Format(PyExc_ImportError,
                     "NumPy C ABI version 0x%x is neither 0x%x (NumPy 1.x) nor 0x%x (NumPy 2.x)",
                     abi, kAbiVersion1, kAbiVersion2);
        throw PythonError{};
    }
    // The capsule stays referenced by NumPy's module for the process.
    g_api.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    g_api.descr_from_type = reinterpret_cast<DescrFromType>(table[kSlotDescrFromType]);
    g_api.equiv_types = reinterpret_cast<EquivTypes>(table[kSlotEquivTypes]);
    g_api.empty = reinterpret_cast<NewArray>(table[kSlotEmpty]);
}

/// Who is loading the interface. `mutex` guards the fields and is held only
/// for a few instructions: never while Python code runs, never while the
/// interpreter lock is awaited.
struct LoadState {
    std::mutex mutex;
    std::condition_variable finished;
    bool active = false;
    unsigned long loader = 0;  // thread ident of the loading thread
    uint64_t rounds = 0;       // loads finished, successful or not
};

alignas(LoadState) unsigned char g_state_storage[sizeof(LoadState)];
LoadState* g_state = nullptr;
long g_state_process = 0;

long process_id() {
#ifdef _WIN32
    return 1;  // no fork
#else
    return static_cast<long>(getpid());
#endif
}

/// This process's load state; the interpreter lock is held. A child forked
/// while another thread was loading or waiting inherits that thread's claim,
/// and perhaps its locked mutex, with no thread left to release them: so each
/// process starts its own state (the inherited one is abandoned in place).
LoadState& load_state() {
    const long pid = process_id();
    if (!g_state || g_state_process != pid) {
        g_state = new (g_state_storage) LoadState;
        g_state_process = pid;
    }
    return *g_state;
}

/// Lets the interpreter lock go for the guard's lifetime and takes it back on
/// every way out. Taking it back can end a daemon thread at interpreter exit,
/// hence a destructor that may throw.
class InterpreterLockReleased {
  public:
    InterpreterLockReleased() : saved_(PyEval_SaveThread()) {}
    ~InterpreterLockReleased() noexcept(false) { PyEval_RestoreThread(saved_); }
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

  private:
    PyThreadState* saved_;
};

/// Waits, without the interpreter lock, until the load that is running now
/// finishes, or a short while has passed (so that Ctrl-C is noticed).
void await_other_loader(LoadState& state, uint64_t seen) {
    InterpreterLockReleased unlocked;
    std::unique_lock<std::mutex> lock(state.mutex);
    state.finished.wait_for(lock, std::chrono::milliseconds(20),
                            [&] { return state.rounds != seen; });
}

/// Ends this thread's claim on every way out of its load, also when the
/// thread itself is ended mid-load at interpreter exit.
struct LoadClaim {
    LoadState& state;
    ~LoadClaim() {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.active = false;
            ++state.rounds;
        }
        state.finished.notify_all();
    }
};

/// The interface, loaded on first use. A thread that finds another one
/// loading waits for it without holding the interpreter lock.
const NumpyApi& numpy_api() {
    if (g_loaded.load(std::memory_order_acquire)) return g_api;
    LoadState& state = load_state();
    const unsigned long self = PyThread_get_thread_ident();
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (g_loaded.load(std::memory_order_acquire)) return g_api;
            if (!state.active) {
                state.active = true;
                state.loader = self;
                break;
            }
            // NumPy's import could call back into this module on the loading
            // thread; fail that call rather than wait for ourselves.
            if (state.loader == self) {
                throw Panic{std::string(text::kNumpyCapsule) + "loading re-entered"};
            }
            seen = state.rounds;
        }
        await_other_loader(state, seen);
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }
    LoadClaim claim{state};
    try {
        load_api();
    } catch (const PythonError&) {
        throw Panic{text::kNumpyCapsule + describe_pending_error()};
    }
    g_loaded.store(true, std::memory_order_release);
    return g_api;
}

const ArrayFields* as_array(PyObject* obj) { return reinterpret_cast<const ArrayFields*>(obj); }

/// Is `obj` an ndarray with `ndim` dimensions of element type `type_num`?
bool is_array_of(const NumpyApi& api, PyObject* obj, int ndim, int type_num) {
    if (Py_TYPE(obj) != api.array_type && !PyType_IsSubtype(Py_TYPE(obj), api.array_type)) {
        return false;
    }
    const ArrayFields* array = as_array(obj);
    if (array->nd != ndim) return false;
    PyRef wanted = PyRef::check(api.descr_from_type(type_num));
    return array->descr == wanted.get() || api.equiv_types(array->descr, wanted.get());
}

}  // namespace

ChunkView chunk_view(PyObject* obj, const char* param) {
    const NumpyApi& api = numpy_api();
    return with_argument_name(param, [&] {
        if (!is_array_of(api, obj, 3, kTypeUByte)) throw_type_mismatch(obj, "ndarray");
        const ArrayFields* array = as_array(obj);
        ChunkView view{array->data, {}, {}};
        for (int i = 0; i < 3; ++i) {
            view.shape[i] = array->dimensions[i];
            view.strides[i] = array->strides[i];
        }
        return view;
    });
}

namespace {

bool is_ndarray(const NumpyApi& api, PyObject* obj) {
    return Py_TYPE(obj) == api.array_type || PyType_IsSubtype(Py_TYPE(obj), api.array_type);
}

ptrdiff_t element_count(const ArrayFields* array) {
    ptrdiff_t count = 1;
    for (int i = 0; i < array->nd; ++i) count *= array->dimensions[i];
    return count;
}

sdf::PointsView points_of(PyObject* obj) {
    const ArrayFields* array = as_array(obj);
    return {array->data, static_cast<size_t>(array->dimensions[0]),
            static_cast<size_t>(array->dimensions[1]), array->strides[0], array->strides[1]};
}

}  // namespace

bool InPlaceLayout::record(PyObject* array) {
    const NumpyApi& api = numpy_api();
    count_ = 0;
    // Views keep the array that owns their memory as their base (an owner
    // may itself view an object exporting a buffer, which cannot be resized
    // while exported). Resizing reallocates an owner's memory and changes
    // its data, element count or descriptor.
    for (PyObject* at = array; at && is_ndarray(api, at); at = as_array(at)->base) {
        if (count_ == kMostArrays) {
            count_ = 0;
            return false;
        }
        const ArrayFields* fields = as_array(at);
        chain_[count_++] = {at, fields->data, fields->descr, element_count(fields)};
    }
    return true;
}

bool InPlaceLayout::unchanged() const {
    for (int i = 0; i < count_; ++i) {
        const Memory& m = chain_[i];
        const ArrayFields* now = as_array(m.array);
        if (now->data != m.data || now->descr != m.descr || element_count(now) != m.elements) {
            return false;
        }
    }
    return true;
}

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define PYSDF_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define PYSDF_NOINLINE __declspec(noinline)
#else
#define PYSDF_NOINLINE
#endif

/// Takes `obj` to be read in place when astype would only copy it: the
/// astype of an exact ndarray cannot be overridden, and for float32
/// elements it makes an exact copy. Out of line, so that its locals are
/// gone before astype runs: a thread ended inside astype at interpreter
/// exit unwinds through points_view's frame alone.
PYSDF_NOINLINE bool take_in_place(const NumpyApi& api, PyObject* obj, PyRef& holder,
                                  InPlaceLayout& in_place) {
    if (Py_TYPE(obj) != api.array_type || !is_array_of(api, obj, 2, kTypeFloat)) return false;
    if (!in_place.record(obj)) return false;
    holder = PyRef::borrow(obj);
    return true;
}

}  // namespace

sdf::PointsView points_view(PyObject* obj, PyRef& holder, InPlaceLayout& in_place) {
    const NumpyApi& api = numpy_api();
    if (take_in_place(api, obj, holder, in_place)) return points_of(obj);
    holder = PyRef::check(PyObject_CallMethod(obj, "astype", "s", "float32"));
    if (!is_array_of(api, holder.get(), 2, kTypeFloat)) throw_type_mismatch(holder.get(), "ndarray");
    return points_of(holder.get());
}

PyRef new_float32_vector(size_t n, float*& storage) {
    const NumpyApi& api = numpy_api();
    PyObject* descr = api.descr_from_type(kTypeFloat);
    if (!descr) throw PythonError{};
    const npy_intp dims[1] = {static_cast<npy_intp>(n)};
    // Left uninitialised: the evaluator writes every row before the array
    // is returned, and an error drops the array. Zeroing it first cost a
    // whole extra pass over the result's memory.
    PyRef array = PyRef::steal(api.empty(1, dims, descr, kOrderC));  // steals descr
    if (!array) throw Panic{text::kResultArrayNotCreated + describe_pending_error()};
    storage = reinterpret_cast<float*>(as_array(array.get())->data);
    return array;
}

}  // namespace pysdf
