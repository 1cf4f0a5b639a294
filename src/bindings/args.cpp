#include "bindings/args.hpp"

#include <string>

namespace karnoxel::bindings {
namespace {

void too_many_positional(const char* qualname, Py_ssize_t count, Py_ssize_t required, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (required != count) {
        PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given", qualname,
                     required, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", qualname, count, given,
                     verb);
    }
}

void unexpected_keyword(const char* qualname, PyObject* name) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", qualname, name);
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* name) {
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) return i;
    }
    return -1;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > signature.count) {
        too_many_positional(signature.qualname, signature.count, signature.required, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) out[i] = i < given ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(signature, name);
        if (index < 0) {
            unexpected_keyword(signature.qualname, name);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.qualname,
                         signature.names[index]);
            return false;
        }
        out[index] = args[given + k];
    }

    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < signature.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return true;

    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string list;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (out[i] != nullptr) continue;
        if (listed != 0) {
            if (missing > 2) list += ',';
            list += listed == missing - 1 ? " and " : " ";
        }
        list += '\'';
        list += signature.names[i];
        list += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", signature.qualname, missing,
                 missing == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

bool refuse_arguments(const char* qualname, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (given > 0) {
        too_many_positional(qualname, 0, 0, given);
        return false;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        PyDict_Next(kwargs, &pos, &name, &value);
        unexpected_keyword(qualname, name);
        return false;
    }
    return true;
}

}  // namespace karnoxel::bindings
