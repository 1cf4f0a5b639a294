// Arrays read straight from memory.
//
// Objects that export a C-contiguous buffer of float32 or float64 values
// (numpy arrays, array.array, memoryviews) are read without going through
// their elements one by one. The result is the one the element path gives:
// float32 values as they are, float64 values rounded to nearest. Everything
// else (other element types, non-contiguous arrays, bytes) takes the
// element path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bindings/pyref.hpp"

namespace karnoxel::bindings {

// A buffer exported by an object, released on every path.
class FloatBuffer {
public:
    FloatBuffer() = default;
    ~FloatBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    // Asks for a C-contiguous buffer of floats with `ndim` dimensions.
    // Returns false, with no error pending, when the object offers none.
    bool acquire(PyObject* object, int ndim);

    std::size_t shape(int d) const { return static_cast<std::size_t>(view_.shape[d]); }

    // The values themselves, when they are float32 and aligned for reading
    // in place; null otherwise.
    const float* floats() const {
        const auto address = reinterpret_cast<std::uintptr_t>(view_.buf);
        return format_ == Format::Single && address % alignof(float) == 0 ? static_cast<const float*>(view_.buf)
                                                                          : nullptr;
    }

    // Copies `count` values starting at value `first` into out[0..count).
    void copy(std::size_t first, std::size_t count, float* out) const;

private:
    enum class Format { None, Single, Double };
    static Format format_of(const Py_buffer& view);

    Py_buffer view_{};
    bool held_ = false;
    Format format_ = Format::None;
};

}  // namespace karnoxel::bindings
