// The karnoxel extension module: multi-phase initialisation publishing the
// VectorStorage class, __all__ and __version__.
#include "bindings/convert.hpp"
#include "bindings/pyref.hpp"
#include "bindings/storage.hpp"
#include "core/fault.hpp"

#ifndef KARNOXEL_VERSION
#define KARNOXEL_VERSION "0+unknown"
#endif

namespace karnoxel {
namespace {

using bindings::Ref;

int exec_module(PyObject* module) {
    PyObject* type = bindings::vector_storage_type();
    if (type == nullptr) return -1;

    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        bindings::raise_cast_error(all.get(), "list");
        return -1;
    }
    Ref name(PyUnicode_FromString("VectorStorage"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    // A dunder, so not among the public names in __all__.
    if (PyModule_AddStringConstant(module, "__version__", KARNOXEL_VERSION) < 0) return -1;
    return PyObject_SetAttrString(module, "VectorStorage", type);
}

#if defined(KARNOXEL_FAULT_INJECTION)
// Test builds only: _inject_allocation_failure(n) makes the n-th C++
// allocation from now on this thread fail (0 disarms) and returns the
// countdown that was left (0 after an armed one: the failure happened).
PyObject* inject_allocation_failure(PyObject*, PyObject* arg) {
    const long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(core::fault::arm(n));
}

PyMethodDef FUNCTIONS[] = {
    {"_inject_allocation_failure", inject_allocation_failure, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#else
PyMethodDef* const FUNCTIONS = nullptr;
#endif

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The type object is shared by the whole process, so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "karnoxel",
    "In-process vector storage and similarity search.",
    0,
    FUNCTIONS,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace karnoxel

PyMODINIT_FUNC PyInit_karnoxel(void) {
    return PyModuleDef_Init(&karnoxel::MODULE);
}
