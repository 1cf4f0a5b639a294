#include "bindings/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace karnoxel::bindings {
namespace {

static_assert(sizeof(long) == 8, "payload integers use the platform's 64-bit long conversion");

// A hint from __len__ reserves at most this many elements ahead; longer
// inputs grow as their elements arrive, so a lying __len__ cannot force a
// huge allocation.
constexpr Py_ssize_t MAX_RESERVE = 1 << 20;

bool element_to_float(PyObject* item, float* out) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
        value = PyLong_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
    }
    *out = static_cast<float>(value);  // round to nearest; out of range gives an infinity
    return true;
}

bool refuse_str(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return true;
    }
    return false;
}

// Walks any sequence with the iterator protocol, calling each(item) for every
// element; exact lists and tuples are walked in place with the same
// semantics as their iterators (a list is re-measured at every step).
template <class Reserve, class Each>
bool walk_sequence(PyObject* object, Reserve&& reserve, Each&& each) {
    if (PyList_CheckExact(object)) {
        reserve(std::min(PyList_GET_SIZE(object), MAX_RESERVE));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(object, i));
            if (!each(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(object);
        reserve(std::min(size, MAX_RESERVE));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!each(PyTuple_GET_ITEM(object, i))) return false;
        }
        return true;
    }
    if (!PySequence_Check(object)) {
        raise_cast_error(object, "Sequence");
        return false;
    }
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        reserve(std::min(hint, MAX_RESERVE));
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (Ref item{PyIter_Next(iterator.get())}) {
        if (!each(item.get())) return false;
    }
    return !PyErr_Occurred();
}

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "buffers are read as IEEE single and double values");

}  // namespace

FloatBuffer::Format FloatBuffer::format_of(const Py_buffer& view) {
    const char* format = view.format;
    if (format == nullptr) return Format::None;  // unsigned bytes
    // Native order and size, or standard sizes in native or little-endian order.
    if (*format == '@' || *format == '=' || (*format == '<' && std::endian::native == std::endian::little)) {
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return Format::None;
    if (format[0] == 'f' && view.itemsize == 4) return Format::Single;
    if (format[0] == 'd' && view.itemsize == 8) return Format::Double;
    return Format::None;
}

bool FloatBuffer::acquire(PyObject* object, int ndim) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || !PyObject_CheckBuffer(object)) return false;
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();  // for example a strided array: the element path takes it
        return false;
    }
    held_ = true;
    format_ = format_of(view_);
    if (format_ == Format::None || view_.ndim != ndim || view_.shape == nullptr) return false;
    Py_ssize_t items = 1;
    for (int d = 0; d < ndim; ++d) items *= view_.shape[d];
    return view_.len == items * view_.itemsize;
}

void FloatBuffer::copy(std::size_t first, std::size_t count, float* out) const {
    if (format_ == Format::Single) {
        if (count != 0) std::memcpy(out, static_cast<const float*>(view_.buf) + first, count * sizeof(float));
        return;
    }
    double value;
    const char* source = static_cast<const char*>(view_.buf) + first * sizeof(double);
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(&value, source + i * sizeof(double), sizeof(double));  // exporters need not align
        out[i] = static_cast<float>(value);
    }
}

namespace {

bool refuse_length(std::size_t max_length) {
    PyErr_Format(PyExc_OverflowError, "a vector holds at most %zu values", max_length);
    return false;
}

bool to_vector_elements(PyObject* object, std::vector<float>* out, std::size_t max_length) {
    out->clear();
    return walk_sequence(
        object, [&](Py_ssize_t n) { out->reserve(static_cast<std::size_t>(n)); },
        [&](PyObject* item) {
            float value;
            if (!element_to_float(item, &value)) return false;
            if (out->size() == max_length) return refuse_length(max_length);
            out->push_back(value);
            return true;
        });
}

PyObject* runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

}  // namespace

void raise_cast_error(PyObject* object, const char* target) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return;
    }
    Ref name(PyType_GetQualName(Py_TYPE(object)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

void add_argument_note(const char* argument) {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref exception(value);
#endif
    if (!exception) return;
    Ref note(PyUnicode_FromFormat("while processing '%s'", argument));
    if (note) {
        Ref done(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    }
    // A failure to attach the note must not replace the original error.
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* raised = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised))), raised, PyException_GetTraceback(raised));
#endif
}

bool to_u64(PyObject* object, std::uint64_t* out) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool to_string(PyObject* object, std::string* out) {
    if (!PyUnicode_Check(object)) {
        raise_cast_error(object, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out->assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_optional_string(PyObject* object, std::optional<std::string>* out) {
    if (object == nullptr || object == Py_None) {
        out->reset();
        return true;
    }
    std::string text;
    if (!to_string(object, &text)) return false;
    *out = std::move(text);
    return true;
}

bool to_vector(PyObject* object, std::vector<float>* out, std::size_t max_length) {
    if (refuse_str(object)) return false;
    {
        FloatBuffer buffer;
        if (buffer.acquire(object, 1)) {
            if (buffer.shape(0) > max_length) return refuse_length(max_length);
            out->resize(buffer.shape(0));
            buffer.copy(0, out->size(), out->data());
            return true;
        }
    }
    return to_vector_elements(object, out, max_length);
}

bool QueryVectors::convert(PyObject* object) {
    if (refuse_str(object)) return false;
    values_.clear();
    spans_.clear();
    // A 2-D array gives one query per row, read in place when it can be.
    if (buffer_.acquire(object, 2)) {
        const std::size_t rows = buffer_.shape(0), columns = buffer_.shape(1);
        const float* source = buffer_.floats();
        if (source == nullptr) {
            values_.resize(rows * columns);
            buffer_.copy(0, rows * columns, values_.data());
            source = values_.data();
        }
        spans_.reserve(rows);
        for (std::size_t r = 0; r < rows; ++r) spans_.emplace_back(source + r * columns, columns);
        return true;
    }
    // Otherwise every query is converted into one flat array; the views are
    // made once it no longer grows.
    std::vector<std::size_t> ends;
    std::vector<float> one;
    const bool converted = walk_sequence(
        object, [&](Py_ssize_t n) { ends.reserve(static_cast<std::size_t>(n)); },
        [&](PyObject* item) {
            if (!to_vector(item, &one)) return false;
            values_.insert(values_.end(), one.begin(), one.end());
            ends.push_back(values_.size());
            return true;
        });
    if (!converted) return false;
    spans_.reserve(ends.size());
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        spans_.emplace_back(values_.data() + start, end - start);
        start = end;
    }
    return true;
}

bool check_payload_kind(PyObject* object) {
    if (object == Py_None || PyDict_Check(object)) return true;
    raise_cast_error(object, "dict");
    return false;
}

bool to_payload(PyObject* object, std::unique_ptr<core::Payload>* out) {
    if (object == Py_None) {
        out->reset();
        return true;
    }
    const Py_ssize_t start_size = PyDict_GET_SIZE(object);
    std::vector<std::pair<std::string, core::PayloadValue>> entries;
    entries.reserve(static_cast<std::size_t>(start_size));
    Py_ssize_t position = 0, produced = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(object, &position, &borrowed_key, &borrowed_value)) {
        if (++produced > start_size) return runtime_error("dictionary keys changed during iteration");
        // Hold both while converting: nothing here may outlive a mutation.
        Ref key = Ref::borrow(borrowed_key);
        Ref value = Ref::borrow(borrowed_value);
        std::string name;
        if (!to_string(key.get(), &name)) return false;
        PyObject* v = value.get();
        if (PyUnicode_Check(v)) {
            std::string text;
            if (!to_string(v, &text)) return false;
            entries.emplace_back(std::move(name), core::string_value(std::move(text)));
        } else if (PyLong_Check(v)) {
            const long number = PyLong_AsLong(v);
            if (number == -1 && PyErr_Occurred()) return false;
            entries.emplace_back(std::move(name), core::PayloadValue(std::in_place_index<2>, number));
        } else if (PyFloat_Check(v)) {
            double number;
            if (PyFloat_CheckExact(v)) {
                number = PyFloat_AS_DOUBLE(v);
            } else {
                number = PyFloat_AsDouble(v);
                if (number == -1.0 && PyErr_Occurred()) return false;
            }
            entries.emplace_back(std::move(name), core::PayloadValue(std::in_place_index<3>, number));
        }
        // Any other value (None, containers, bytes, ...) is dropped with its key.
        if (PyDict_GET_SIZE(object) != start_size) return runtime_error("dictionary changed size during iteration");
    }
    *out = std::make_unique<core::Payload>(core::make_payload(std::move(entries)));
    return true;
}

PyObject* hits_to_list(const std::vector<index::SearchHit>& hits) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        Ref id(PyLong_FromUnsignedLongLong(hits[i].id));
        if (!id) return nullptr;
        Ref score(PyFloat_FromDouble(static_cast<double>(hits[i].score)));
        if (!score) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyTuple_SET_ITEM(pair, 0, id.release());
        PyTuple_SET_ITEM(pair, 1, score.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

}  // namespace karnoxel::bindings
