#include "bindings/storage.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/convert.hpp"
#include "storage/segment.hpp"

namespace karnoxel::bindings {
namespace {

struct PyVectorStorage {
    PyObject_HEAD storage::Segment segment;  // built in tp_new, destroyed in tp_dealloc
};

PyVectorStorage* as_storage(PyObject* self) {
    return reinterpret_cast<PyVectorStorage*>(self);
}

// Releases the interpreter lock around pure C++ work and takes it back
// when the scope ends, also when the work throws. The work must not touch
// any Python object, and must never wait for the interpreter while it holds
// a store lock.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(state_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

    // For file operations: a system call was interrupted by a signal, so
    // the Python handlers run now; true if one raised (KeyboardInterrupt,
    // say), which then stays pending and ends the operation.
    storage::Interrupt interrupt() {
        return {[](void* self) { return static_cast<GilReleased*>(self)->handle_signals(); }, this};
    }

private:
    bool handle_signals() {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        return raised;
    }
    PyThreadState* state_;
};

// The one place where C++ exceptions become Python exceptions, around the
// whole of every method: none ever crosses into the interpreter, and an
// allocation that fails anywhere (a huge string argument, an answer list)
// raises MemoryError. Every Python reference is owned by a Ref, and the
// store changes nothing before its last allocation, so the failure leaks
// nothing and leaves the store as it was.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "karnoxel: internal failure in the storage engine");
    }
    return nullptr;
}

constexpr const char* SEARCH_METRIC_ERROR =
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2').";
constexpr const char* BATCH_METRIC_ERROR =
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'.";

constexpr const char* UPSERT_NAMES[] = {"point_id", "vector", "payload"};
constexpr const char* SEARCH_NAMES[] = {"query_vector", "limit", "metric", "tenant_id"};
constexpr const char* BATCH_NAMES[] = {"query_vectors", "limit", "metric", "tenant_id"};
constexpr const char* PATH_NAMES[] = {"path"};

constexpr Signature UPSERT_SIGNATURE{"VectorStorage.upsert()", UPSERT_NAMES, 3, 3};
constexpr Signature SEARCH_SIGNATURE{"VectorStorage.search()", SEARCH_NAMES, 4, 3};
constexpr Signature BATCH_SIGNATURE{"VectorStorage.batch_search()", BATCH_NAMES, 4, 3};
constexpr Signature SAVE_SIGNATURE{"VectorStorage.save()", PATH_NAMES, 1, 1};
constexpr Signature LOAD_SIGNATURE{"VectorStorage.load()", PATH_NAMES, 1, 1};

// The shared tail of search and batch_search: limit, metric and tenant,
// converted in that order; the metric name is parsed only then.
struct QueryOptions {
    std::uint64_t limit = 0;
    std::string metric_name;
    std::optional<std::string> tenant;
    core::DistanceMetric metric = core::DistanceMetric::Cosine;

    std::optional<std::string_view> tenant_view() const {
        if (!tenant) return std::nullopt;
        return std::string_view(*tenant);
    }
};

// Binds the arguments of search or batch_search, converts the query (or
// queries) with `convert_query`, then the options. False with an exception
// set if any of that fails; `metric_error` is the method's own text for an
// unknown metric name.
template <class ConvertQuery>
bool query_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                     const char* metric_error, ConvertQuery&& convert_query, QueryOptions* options) {
    PyObject* argv[4];
    if (!bind_arguments(signature, args, nargsf, kwnames, argv) ||
        !convert_argument(signature.names[0], [&] { return convert_query(argv[0]); }) ||
        !convert_argument("limit", [&] { return to_u64(argv[1], &options->limit); }) ||
        !convert_argument("metric", [&] { return to_string(argv[2], &options->metric_name); }) ||
        !convert_argument("tenant_id", [&] { return to_optional_string(argv[3], &options->tenant); })) {
        return false;
    }
    const std::optional<core::DistanceMetric> metric = core::parse_metric(options->metric_name);
    if (!metric) {
        PyErr_SetString(PyExc_ValueError, metric_error);
        return false;
    }
    options->metric = *metric;
    return true;
}

PyObject* upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argv[3];
    if (!bind_arguments(UPSERT_SIGNATURE, args, nargsf, kwnames, argv)) return nullptr;
    core::Point point;
    if (!convert_argument("point_id", [&] { return to_u64(argv[0], &point.id); }) ||
        !convert_argument("vector", [&] { return to_vector(argv[1], &point.vector, core::MAX_VECTOR_LENGTH); }) ||
        !convert_argument("payload", [&] { return check_payload_kind(argv[2]); }) ||
        !to_payload(argv[2], &point.payload)) {
        return nullptr;
    }
    storage::Segment& segment = as_storage(self)->segment;
    {
        GilReleased gil;
        segment.upsert(std::move(point));
    }
    Py_RETURN_NONE;
}

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::vector<float> query;
    QueryOptions options;
    if (!query_arguments(
            SEARCH_SIGNATURE, args, nargsf, kwnames, SEARCH_METRIC_ERROR,
            [&](PyObject* object) { return to_vector(object, &query); }, &options)) {
        return nullptr;
    }
    const storage::Segment& segment = as_storage(self)->segment;
    std::vector<index::SearchHit> hits;
    {
        GilReleased gil;
        hits = segment.search({query, options.limit, options.metric, options.tenant_view()});
    }
    return hits_to_list(hits);
}

PyObject* batch_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    QueryVectors queries;
    QueryOptions options;
    if (!query_arguments(
            BATCH_SIGNATURE, args, nargsf, kwnames, BATCH_METRIC_ERROR,
            [&](PyObject* object) { return queries.convert(object); }, &options)) {
        return nullptr;
    }
    const storage::Segment& segment = as_storage(self)->segment;
    std::vector<std::vector<index::SearchHit>> answers(queries.spans().size());
    {
        GilReleased gil;
        segment.batch_search({queries.spans(), options.limit, options.metric, options.tenant_view()}, answers);
    }
    Ref result(PyList_New(static_cast<Py_ssize_t>(answers.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        PyObject* hits = hits_to_list(answers[i]);
        if (hits == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), hits);
    }
    return result.release();
}

// Snapshot failures are OSErrors with exactly one argument, the message;
// an interrupted file operation leaves the signal handler's exception.
PyObject* finish_file_operation(const storage::FileOutcome& outcome) {
    switch (outcome.status) {
        case storage::FileStatus::Done:
            Py_RETURN_NONE;
        case storage::FileStatus::Interrupted:
            return nullptr;
        case storage::FileStatus::Failed:
            break;
    }
    Ref text(PyUnicode_DecodeUTF8(outcome.message.data(), static_cast<Py_ssize_t>(outcome.message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_OSError, text.get());
    return nullptr;
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argv[1];
    if (!bind_arguments(SAVE_SIGNATURE, args, nargsf, kwnames, argv)) return nullptr;
    std::string path;
    if (!convert_argument("path", [&] { return to_string(argv[0], &path); })) return nullptr;
    const storage::Segment& segment = as_storage(self)->segment;
    storage::FileOutcome outcome;
    {
        GilReleased gil;
        outcome = segment.save_to_disk(path, gil.interrupt());
    }
    return finish_file_operation(outcome);
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argv[1];
    if (!bind_arguments(LOAD_SIGNATURE, args, nargsf, kwnames, argv)) return nullptr;
    std::string path;
    if (!convert_argument("path", [&] { return to_string(argv[0], &path); })) return nullptr;
    storage::Segment& segment = as_storage(self)->segment;
    storage::FileOutcome outcome;
    {
        GilReleased gil;
        outcome = segment.load_from_disk(path, gil.interrupt());
    }
    return finish_file_operation(outcome);
}

// The methods as the interpreter calls them: each one whole inside the
// exception boundary.
template <PyObject* (*Method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] { return Method(self, args, nargsf, kwnames); });
}

PyObject* vs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!refuse_arguments("VectorStorage.__new__()", args, kwargs)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&as_storage(self)->segment) storage::Segment();
    } catch (const std::bad_alloc&) {
        Py_TYPE(self)->tp_free(self);
        Py_DECREF(type);
        return PyErr_NoMemory();
    }
    return self;
}

void vs_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_storage(self)->segment.~Segment();
    type->tp_free(self);
    Py_DECREF(type);
}

#define KARNOXEL_METHOD(name, fn, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef METHODS[] = {
    KARNOXEL_METHOD("upsert", method<upsert>,
                    "upsert($self, point_id, vector, payload)\n--\n\n"
                    "Universally inserts or updates a coordinate entity embedding paired with dynamic structured "
                    "metadata payloads.\n\n"
                    "This atomic interface orchestrates memory lock updates across spatial configurations. It "
                    "converts\n"
                    "incoming structured attributes via localized parsers and triggers automatic HNSW graph "
                    "re-weaving updates.\n\n"
                    "# Parameters\n"
                    "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its "
                    "transactional registry key.\n"
                    "* `vector` - A Python float list containing the raw coordinate tracking geometry parameters.\n"
                    "* `payload` - An optional Python dictionary containing polymorphic data filters.\n\n"
                    "# Errors\n"
                    "Returns an operational initialization exception if underlying dictionary types fail "
                    "transformation."),
    KARNOXEL_METHOD("search", method<search>,
                    "search($self, query_vector, limit, metric, tenant_id=None)\n--\n\n"
                    "Searches the high-dimensional vector space to extract top-K nearest neighbors matching target "
                    "query configurations.\n\n"
                    "This framework evaluates cluster density bounds at runtime to seamlessly route lookups via "
                    "exact linear\n"
                    "KNN sweeps or optimized logarithmic HNSW structural mesh traversal loops. It enforces "
                    "single-stage\n"
                    "pre-filtering if an optional tenant constraint is provided.\n\n"
                    "# Parameters\n"
                    "* `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.\n"
                    "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory "
                    "slots.\n"
                    "* `metric` - Configuration string matching supported parameters: `'cosine'`, "
                    "`'dot_product'`, or `'euclidean'`.\n"
                    "* `tenant_id` - An optional string key used to isolate workspace partitions under active "
                    "multi-tenancy rules.\n\n"
                    "# Returns\n"
                    "A structured Python list containing tuple records formatted as: `(Point ID, Proximity "
                    "Similarity Score)`.\n\n"
                    "# Errors\n"
                    "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric "
                    "tokens."),
    KARNOXEL_METHOD("batch_search", method<batch_search>,
                    "batch_search($self, query_vectors, limit, metric, tenant_id=None)\n--\n\n"
                    "Executes concurrent high-dimensional batch vector lookups across available hardware "
                    "processing units.\n\n"
                    "This engine utilizes a thread-safe parallel processing map (Rayon) to bypass Python runtime "
                    "loop\n"
                    "overheads. It drives multi-tenant graph filtering routines simultaneously across the matrix "
                    "block workspace.\n\n"
                    "# Parameters\n"
                    "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to process "
                    "concurrently.\n"
                    "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete "
                    "query sequence.\n"
                    "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or "
                    "`'euclidean'`.\n"
                    "* `tenant_id` - An optional string token used to restrict queries to specific isolated "
                    "tenancy environments.\n\n"
                    "# Returns\n"
                    "A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, "
                    "Score), ...], ...]`.\n\n"
                    "# Errors\n"
                    "Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown "
                    "structural metric token."),
    KARNOXEL_METHOD("save", method<save>,
                    "save($self, path)\n--\n\n"
                    "Commits the running transactional database state snapshot directly onto localized physical "
                    "storage tracks.\n\n"
                    "# Parameters\n"
                    "* `path` - The string location defining where to construct the output binary serialization "
                    "snapshot asset.\n\n"
                    "# Errors\n"
                    "Throws an asynchronous `IOError` if system partitions block file descriptor allocation "
                    "workflows."),
    KARNOXEL_METHOD("load", method<load>,
                    "load($self, path)\n--\n\n"
                    "Loads and completely rehydrates a pre-existing storage binary checkpoint file back into "
                    "active memory pools.\n\n"
                    "# Parameters\n"
                    "* `path` - Target system path targeting the binary database record file to extract.\n\n"
                    "# Errors\n"
                    "Throws a standard `IOError` if input buffers contain broken byte signatures or version "
                    "mismatches."),
    {nullptr, nullptr, 0, nullptr},
};

#undef KARNOXEL_METHOD

constexpr const char CLASS_DOC[] =
    "VectorStorage()\n--\n\n"
    "A high-performance vector storage and similarity search engine exposed directly to Python runtimes.\n\n"
    "This struct functions as a safe, concurrent architectural encapsulation wrapper managing an isolated\n"
    "memory partition segment layer. It supports lock-free multi-threaded query streams and sequential "
    "persistence pipelines.";

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(vs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vs_dealloc)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "builtins.VectorStorage",
    static_cast<int>(sizeof(PyVectorStorage)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

}  // namespace

PyObject* vector_storage_type() {
    static PyObject* type = nullptr;  // one type object per process, never released
    if (type == nullptr) type = PyType_FromSpec(&SPEC);
    return type;
}

}  // namespace karnoxel::bindings
