// The VectorStorage class.
#pragma once

#include "bindings/pyref.hpp"

namespace karnoxel::bindings {

// The VectorStorage type object, created on first use and kept for the life
// of the process (a borrowed reference), or null with an exception set.
PyObject* vector_storage_type();

}  // namespace karnoxel::bindings
