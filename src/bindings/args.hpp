// Binding of fast-call arguments to named parameters, with the interpreter's
// wording for every binding error.
#pragma once

#include "bindings/pyref.hpp"

namespace karnoxel::bindings {

struct Signature {
    const char* qualname;      // "VectorStorage.search()"
    const char* const* names;  // parameter names in positional order
    Py_ssize_t count;          // number of parameters
    Py_ssize_t required;       // the first `required` parameters have no default
};

// Fills out[0..count) with borrowed references, null where an optional
// parameter was not given. On a binding error raises TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out);

// Refuses any argument at all (the constructor).
bool refuse_arguments(const char* qualname, PyObject* args, PyObject* kwargs);

}  // namespace karnoxel::bindings
