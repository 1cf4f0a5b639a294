// Conversion of Python arguments into native values and of results back.
//
// Every converter returns false with a Python exception set when it refuses
// its input. Converters run with the interpreter lock held and before any
// store lock is taken; user code they trigger (__float__, __index__, __len__,
// __iter__) may therefore call back into the store without deadlock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/buffer.hpp"
#include "bindings/pyref.hpp"
#include "core/distance.hpp"
#include "core/point.hpp"
#include "index/hits.hpp"

namespace karnoxel::bindings {

// TypeError "'{type}' object is not an instance of '{target}'".
void raise_cast_error(PyObject* object, const char* target);

// Adds the note "while processing '{argument}'" to the pending exception.
void add_argument_note(const char* argument);

// Runs a converter; on failure notes the argument name on its exception.
template <class F>
bool convert_argument(const char* argument, F&& convert) {
    if (convert()) return true;
    add_argument_note(argument);
    return false;
}

bool to_u64(PyObject* object, std::uint64_t* out);
bool to_string(PyObject* object, std::string* out);
// None (or a missing argument, passed as null) gives nothing.
bool to_optional_string(PyObject* object, std::optional<std::string>* out);
// A vector longer than `max_length` raises OverflowError before it is copied.
bool to_vector(PyObject* object, std::vector<float>* out, std::size_t max_length = SIZE_MAX);
// The query vectors of a batch: the rows of a 2-D float32 array are read in
// place (the array's buffer is held as long as this object lives); any other
// 2-D float array, and any sequence of vectors, is converted into one flat
// array. Query lengths may differ.
class QueryVectors {
public:
    bool convert(PyObject* object);
    std::span<const core::FloatSpan> spans() const { return spans_; }

private:
    FloatBuffer buffer_;
    std::vector<float> values_;
    std::vector<core::FloatSpan> spans_;
};

// Checks that a payload argument is None or a dict (the part that carries an
// argument note), then converts its entries (errors without a note).
bool check_payload_kind(PyObject* object);
bool to_payload(PyObject* object, std::unique_ptr<core::Payload>* out);

PyObject* hits_to_list(const std::vector<index::SearchHit>& hits);

}  // namespace karnoxel::bindings
