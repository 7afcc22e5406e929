// The Sdf heap type: slots, method table and instance creation.
#include "module/sdf_type.hpp"

#include <array>
#include <atomic>
#include <iterator>
#include <new>
#include <string>

#include "module/guarded_call.hpp"
#include "pysdf/messages.hpp"
#include "pysdf/methods/methods.hpp"

namespace pysdf {
namespace {

// dealloc: release the shape tree, free the object, drop the type reference
void sdf_dealloc(PyObject* self) {
    SdfObject* obj = reinterpret_cast<SdfObject*>(self);
    delete obj->compiled.load(std::memory_order_acquire);
    sdf::release_tree(obj->root);
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

/// str(getattr(cls, attr)) as UTF-8, or "<unknown>".
std::string class_attribute_text(PyObject* cls, const char* attr) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(cls, attr));
    if (value && PyUnicode_Check(value.get())) {
        Py_ssize_t size;
        if (const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size)) {
            return std::string(text, size);
        }
    }
    PyErr_Clear();
    return "<unknown>";
}

// new: instances come only from the methods; calling the class refuses
PyObject* sdf_refuse_new(PyTypeObject* cls, PyObject*, PyObject*) {
    return guarded_call([cls]() -> PyRef {
        PyObject* c = reinterpret_cast<PyObject*>(cls);
        const std::string text = "cannot create '" + class_attribute_text(c, "__module__") + "." +
                                 class_attribute_text(c, "__qualname__") + "' instances";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        throw PythonError{};
    });
}

constexpr size_t kMethodCount = std::size(kMethodTable);

/// The text signatures, made from the method table when compiling.
constexpr std::array<DocText, kMethodCount> kMethodDocs = [] {
    std::array<DocText, kMethodCount> docs{};
    for (size_t i = 0; i < kMethodCount; ++i) docs[i] = doc_of(*kMethodTable[i]);
    return docs;
}();

PyMethodDef method_definition(const MethodEntry& entry, const DocText& doc) {
    if (!entry.with_arguments) return {entry.name, entry.without_arguments, METH_NOARGS, doc.text};
    const int receiver = entry.receiver == Receiver::Static ? METH_STATIC : 0;
    return {entry.name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry.with_arguments)),
            METH_VARARGS | METH_KEYWORDS | receiver, doc.text};
}

/// The interpreter's method definitions (ending with a zeroed sentinel),
/// filled from the method table before the type is first created.
PyMethodDef sdf_methods[kMethodCount + 1];

void fill_method_definitions() {
    static const bool filled = [] {
        for (size_t i = 0; i < kMethodCount; ++i) {
            sdf_methods[i] = method_definition(*kMethodTable[i], kMethodDocs[i]);
        }
        return true;
    }();
    (void)filled;
}

PyType_Slot sdf_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(sdf_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(sdf_refuse_new)},
    {Py_tp_methods, sdf_methods},
    {0, nullptr},
};

PyType_Spec sdf_spec = {
    text::kTypeName,
    static_cast<int>(sizeof(SdfObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    sdf_slots,
};

}  // namespace

PyTypeObject* sdf_type() {
    // Created once per process and kept: a re-imported module gets the same
    // class object. Creation can run the garbage collector, which can switch
    // threads, so two threads may both create one: the first published wins.
    static std::atomic<PyObject*> published{nullptr};
    PyObject* type = published.load(std::memory_order_acquire);
    if (!type) {
        fill_method_definitions();
        PyObject* made = PyType_FromSpec(&sdf_spec);
        if (!made) return nullptr;
        if (published.compare_exchange_strong(type, made, std::memory_order_acq_rel)) {
            type = made;
        } else {
            Py_DECREF(made);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* sdf_type_in_method() {
    PyTypeObject* type = sdf_type();
    if (!type) {
        PyErr_WriteUnraisable(nullptr);
        throw Panic{text::kTypeNotCreated};
    }
    return type;
}

PyRef new_sdf(sdf::Tree tree) {
    PyTypeObject* type = sdf_type_in_method();
    // Make the instance exactly as object.__new__(Sdf) would.
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    PyRef args = PyRef::check(PyTuple_New(0));
    PyRef obj = PyRef::check(object_new(type, args.get(), nullptr));
    SdfObject* self = reinterpret_cast<SdfObject*>(obj.get());
    new (&self->borrow_count) std::atomic<int64_t>(0);
    new (&self->compiled) std::atomic<Compiled*>(nullptr);
    self->root = tree.disown();
    return obj;
}

const Compiled& compiled_of(SdfObject* self) {
    Compiled* compiled = self->compiled.load(std::memory_order_acquire);
    if (compiled) return *compiled;
    std::unique_ptr<Compiled> fresh(new Compiled{sdf::compile(self->root), nullptr});
    fresh->steps = sdf::KeptSteps::make(fresh->program);
    if (self->compiled.compare_exchange_strong(compiled, fresh.get(), std::memory_order_acq_rel)) {
        return *fresh.release();
    }
    return *compiled;  // another thread published first
}

}  // namespace pysdf
