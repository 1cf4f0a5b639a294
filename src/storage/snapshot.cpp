#include "storage/snapshot.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "core/kernels.hpp"
#include "core/random.hpp"

namespace karnoxel::storage {
namespace {

using core::PointTable;
using index::HNSWIndex;
using index::MAX_LAYERS;

static_assert(std::endian::native == std::endian::little, "snapshot floats are copied as little-endian bytes");

// The most a reservation may run ahead of the elements that have arrived.
constexpr std::size_t MAX_RESERVE_BYTES = 1 << 20;

// ---------------------------------------------------------------- encoding

class Writer {
public:
    explicit Writer(std::size_t estimate) { out_.reserve(estimate); }

    void u64(std::uint64_t v) {
        std::uint8_t* p = room(10);
        std::size_t n = 0;
        while (v >= 0x80) {
            p[n++] = static_cast<std::uint8_t>(v | 0x80);
            v >>= 7;
        }
        p[n++] = static_cast<std::uint8_t>(v);
        used(n);
    }
    void i64(std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        u64((u << 1) ^ static_cast<std::uint64_t>(v >> 63));
    }
    void byte(std::uint8_t b) { *room(1) = b, used(1); }
    void raw(const void* data, std::size_t size) {
        if (size == 0) return;
        std::memcpy(room(size), data, size);
        used(size);
    }
    void string(const std::string& s) {
        u64(s.size());
        raw(s.data(), s.size());
    }
    core::PodBuffer<std::uint8_t> take() { return std::move(out_); }

private:
    // Room for `count` more bytes at the end, written through a pointer
    // (not zeroed first); used() then says how many of them were written.
    std::uint8_t* room(std::size_t count) {
        const std::size_t size = out_.size();
        std::uint8_t* end = out_.extend(count);
        out_.set_size(size);
        return end;
    }
    void used(std::size_t count) { out_.set_size(out_.size() + count); }

    core::PodBuffer<std::uint8_t> out_;
};

void write_payload(Writer& w, const core::Payload* payload) {
    if (payload == nullptr) {
        w.byte(0);
        return;
    }
    w.byte(1);
    w.u64(payload->entries.size());
    for (const auto& [key, value] : payload->entries) {
        w.string(key);
        w.byte(static_cast<std::uint8_t>(value.index()));
        switch (value.index()) {
            case 0:
                w.string(std::get<0>(value).value);
                break;
            case 1:
                w.string(std::get<1>(value).value);
                break;
            case 2:
                w.i64(std::get<2>(value));
                break;
            case 3: {
                const double d = std::get<3>(value);
                w.raw(&d, sizeof d);
                break;
            }
        }
    }
}

std::uint64_t listed_id(const PointTable& points, const HNSWIndex& index, std::uint32_t entry) {
    return entry >= index::GHOST ? index.ghost_ids[entry - index::GHOST] : points.keys[entry];
}

// ---------------------------------------------------------------- decoding

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    const std::uint8_t* position() const { return p_; }
    void seek(const std::uint8_t* position) { p_ = position; }
    DecodeError error() const { return error_; }

    bool fail(DecodeError error) {
        error_ = error;
        return false;
    }

    // At most 10 bytes; the tenth must be 0 or 1. Longer-than-needed forms are fine.
    bool u64(std::uint64_t& v) {
        v = 0;
        for (int i = 0; i < 10; ++i) {
            if (p_ == end_) return fail(DecodeError::UnexpectedEnd);
            const std::uint8_t b = *p_++;
            if (i == 9 && b > 0x01) return fail(DecodeError::BadVarint);
            v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) return true;
        }
        return true;  // unreachable: the tenth byte has no continuation bit
    }

    // A 32-bit varint of at most 5 bytes; the fifth must not exceed 0x0F.
    bool u32(std::uint32_t& v) {
        v = 0;
        for (int i = 0; i < 5; ++i) {
            if (p_ == end_) return fail(DecodeError::UnexpectedEnd);
            const std::uint8_t b = *p_++;
            if (i == 4 && b > 0x0F) return fail(DecodeError::BadVarint);
            v |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) return true;
        }
        return true;
    }

    bool i64(std::int64_t& v) {
        std::uint64_t u;
        if (!u64(u)) return false;
        v = static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
        return true;
    }

    bool option(bool& present) {
        if (p_ == end_) return fail(DecodeError::UnexpectedEnd);
        const std::uint8_t b = *p_++;
        if (b > 1) return fail(DecodeError::BadOption);
        present = b == 1;
        return true;
    }

    bool bytes(std::size_t count, const std::uint8_t*& out) {
        if (remaining() < count) return fail(DecodeError::UnexpectedEnd);
        out = p_;
        p_ += count;
        return true;
    }

    bool string(std::string& out) {
        std::uint64_t size;
        const std::uint8_t* data;
        if (!u64(size) || !bytes(size > remaining() ? SIZE_MAX : static_cast<std::size_t>(size), data)) return false;
        if (!valid_utf8(data, static_cast<std::size_t>(size))) return fail(DecodeError::BadUtf8);
        out.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
        return true;
    }

    // Capacity to reserve for `count` elements of `element_size` bytes:
    // never more than the remaining bytes could hold, nor 1 MiB ahead.
    std::size_t reservation(std::uint64_t count, std::size_t element_size, std::size_t min_encoded = 1) const {
        const std::uint64_t fits = remaining() / min_encoded;
        const std::uint64_t cap = MAX_RESERVE_BYTES / element_size;
        return static_cast<std::size_t>(std::min({count, fits, cap}));
    }

    // UTF-8 as RFC 3629 defines it: no overlong forms, no surrogates,
    // nothing above U+10FFFF.
    static bool valid_utf8(const std::uint8_t* s, std::size_t n) {
        std::size_t i = 0;
        while (i < n) {
            const std::uint8_t c = s[i];
            if (c < 0x80) {
                ++i;
                continue;
            }
            std::size_t extra;
            std::uint8_t lo = 0x80, hi = 0xBF;
            if (c >= 0xC2 && c <= 0xDF) {
                extra = 1;
            } else if (c >= 0xE0 && c <= 0xEF) {
                extra = 2;
                if (c == 0xE0) lo = 0xA0;
                if (c == 0xED) hi = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                extra = 3;
                if (c == 0xF0) lo = 0x90;
                if (c == 0xF4) hi = 0x8F;
            } else {
                return false;
            }
            if (n - i <= extra) return false;
            if (s[i + 1] < lo || s[i + 1] > hi) return false;
            for (std::size_t k = 2; k <= extra; ++k) {
                if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
            }
            i += extra + 1;
        }
        return true;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    DecodeError error_ = DecodeError::UnexpectedEnd;
};

bool read_payload(Reader& r, std::unique_ptr<core::Payload>& out) {
    bool present;
    if (!r.option(present)) return false;
    if (!present) {
        out.reset();
        return true;
    }
    std::uint64_t count;
    if (!r.u64(count)) return false;
    std::vector<std::pair<std::string, core::PayloadValue>> entries;
    entries.reserve(r.reservation(count, sizeof(entries[0]), 3));
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string key;
        std::uint32_t variant;
        if (!r.string(key) || !r.u32(variant)) return false;
        switch (variant) {
            case 0:
            case 1: {
                std::string text;
                if (!r.string(text)) return false;
                // The variant is taken as recorded, whatever the string's length.
                if (variant == 0) {
                    entries.emplace_back(std::move(key), core::Keyword{std::move(text)});
                } else {
                    entries.emplace_back(std::move(key), core::Text{std::move(text)});
                }
                break;
            }
            case 2: {
                std::int64_t value;
                if (!r.i64(value)) return false;
                entries.emplace_back(std::move(key), core::PayloadValue(std::in_place_index<2>, value));
                break;
            }
            case 3: {
                const std::uint8_t* bytes;
                if (!r.bytes(8, bytes)) return false;
                double value;
                std::memcpy(&value, bytes, sizeof value);
                entries.emplace_back(std::move(key), core::PayloadValue(std::in_place_index<3>, value));
                break;
            }
            default:
                return r.fail(DecodeError::BadVariant);
        }
    }
    // A key that occurs twice keeps the later value.
    out = std::make_unique<core::Payload>(core::make_payload(std::move(entries)));
    return true;
}

// Points are stored in batches of one vector length, their sums of squares
// formed 16 at a time by the exact row kernel: squares of differences from
// a zero query are the squares themselves, bit for bit, summed in the same
// order as a single vector's.
class PointBatch {
public:
    explicit PointBatch(PointTable& points) : points_(points) {}

    void add(std::uint64_t key, std::uint64_t id, const std::uint8_t* floats, std::size_t length,
             std::unique_ptr<core::Payload> payload) {
        if (!pending_.empty() && (length != length_ || pending_.size() == CAPACITY)) flush();
        length_ = length;
        const std::size_t offset = values_.size();
        values_.resize(offset + length);
        if (length != 0) std::memcpy(values_.data() + offset, floats, length * sizeof(float));
        pending_.push_back({key, id, offset, std::move(payload)});
    }

    void flush() {
        if (pending_.empty()) return;
        const float* rows[CAPACITY];
        float norms[CAPACITY];
        for (std::size_t i = 0; i < pending_.size(); ++i) rows[i] = values_.data() + pending_[i].offset;
        zeros_.assign(length_, 0.0f);
        core::exact_kernels().sqdiff_rows(zeros_.data(), rows, pending_.size(), length_, norms);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending& p = pending_[i];
            const core::PutResult put =
                core::put_point(points_, p.key, {rows[i], length_}, std::move(p.payload), norms[i]);
            if (p.id != p.key) points_.foreign_ids[put.slot] = p.id;
        }
        pending_.clear();
        values_.clear();
    }

private:
    static constexpr std::size_t CAPACITY = 64;
    struct Pending {
        std::uint64_t key, id;
        std::size_t offset;  // of the vector in values_
        std::unique_ptr<core::Payload> payload;
    };
    PointTable& points_;
    std::vector<Pending> pending_;
    std::vector<float> values_;  // the batch's vectors back to back
    std::vector<float> zeros_;
    std::size_t length_ = 0;
};

bool read_points(Reader& r, PointTable& points) {
    std::uint64_t count;
    if (!r.u64(count)) return false;
    PointBatch batch(points);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key, id, length;
        if (!r.u64(key) || !r.u64(id) || !r.u64(length)) return false;
        const std::uint8_t* floats;
        if (length > r.remaining() / sizeof(float)) return r.fail(DecodeError::UnexpectedEnd);
        if (!r.bytes(static_cast<std::size_t>(length) * sizeof(float), floats)) return false;
        std::unique_ptr<core::Payload> payload;
        if (!read_payload(r, payload)) return false;
        batch.add(key, id, floats, static_cast<std::size_t>(length), std::move(payload));
    }
    batch.flush();
    return true;
}

// One node record: its id and 16 lists, read as ids.
bool skip_node(Reader& r, std::uint64_t& key) {
    std::uint64_t id, count, entry;
    if (!r.u64(key) || !r.u64(id)) return false;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
        if (!r.u64(count)) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!r.u64(entry)) return false;
        }
    }
    return true;
}

void grow_graph(HNSWIndex& index, std::size_t slots) {
    index.levels.resize(slots, index::NO_NODE);
    index.layer0.resize(slots * index.stride(), 0);
    index.parent0.resize(slots, index::NO_SLOT);
    index.upper_of.resize(slots, 0);
}

bool read_nodes(Reader& r, PointTable& points, HNSWIndex& index) {
    std::uint64_t count;
    if (!r.u64(count)) return false;
    // First pass: check the syntax and give every node key a slot, so that
    // lists can name nodes whose records come later.
    const std::uint8_t* start = r.position();
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key;
        if (!skip_node(r, key)) return false;
        // Images written by a store list nodes in the order of their points.
        if (i < points.slot_count() && points.keys[i] == key) continue;
        core::ensure_slot(points, key);
    }
    const std::uint8_t* end = r.position();
    grow_graph(index, points.slot_count());

    // Ids to slots: a direct array when the ids are dense enough (sequential
    // ids are common), the hash map otherwise.
    std::uint64_t max_key = 0;
    for (std::uint64_t key : points.keys) max_key = std::max(max_key, key);
    std::vector<std::uint32_t> direct;
    if (max_key < 4 * static_cast<std::uint64_t>(points.slot_count()) + 1024) {
        direct.assign(static_cast<std::size_t>(max_key) + 1, core::IdMap::NONE);
        for (std::uint32_t slot = 0; slot < points.slot_count(); ++slot) direct[points.keys[slot]] = slot;
    }
    auto slot_of = [&](std::uint64_t id) {
        if (!direct.empty()) return id < direct.size() ? direct[id] : core::IdMap::NONE;
        return points.slot_of.find(id);
    };

    // Second pass over bytes known to be well formed.
    r.seek(start);
    std::unordered_map<std::uint64_t, std::uint32_t> ghost_of;
    std::vector<std::uint32_t> list;
    std::vector<std::uint64_t> ids;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key, id, length, entry;
        r.u64(key);
        r.u64(id);
        const std::uint32_t slot =
            i < points.slot_count() && points.keys[i] == key ? static_cast<std::uint32_t>(i) : slot_of(key);
        if (!index.has_node(slot)) ++index.node_count;
        if (id != key) {
            index.node_ids[slot] = id;
        } else {
            index.node_ids.erase(slot);
        }
        std::uint8_t level = 0;
        if (index.upper_of[slot] != 0) index.upper[index.upper_of[slot] - 1].layers.clear();
        for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
            r.u64(length);
            ids.clear();
            ids.reserve(r.reservation(length, sizeof(std::uint64_t)));
            for (std::uint64_t k = 0; k < length; ++k) {
                r.u64(entry);
                ids.push_back(entry);
                // Resolve the list's ids with their lookups overlapped.
                if (direct.empty()) {
                    points.slot_of.prefetch(entry);
                } else if (entry < direct.size()) {
                    __builtin_prefetch(direct.data() + entry);
                }
            }
            list.clear();
            for (const std::uint64_t listed : ids) {
                std::uint32_t target = slot_of(listed);
                if (target == core::IdMap::NONE) {
                    auto [it, fresh] = ghost_of.try_emplace(listed, static_cast<std::uint32_t>(index.ghost_ids.size()));
                    if (fresh) index.ghost_ids.push_back(listed);
                    target = index::GHOST + it->second;
                }
                list.push_back(target);
            }
            if (!list.empty()) level = static_cast<std::uint8_t>(layer);
            if (layer == 0) {
                std::uint32_t* block = index.layer0.data() + slot * index.stride();
                if (list.size() <= index.layer0_cap) {
                    index.layer0_overflow.erase(slot);
                    block[0] = static_cast<std::uint32_t>(list.size());
                    std::copy(list.begin(), list.end(), block + 1);
                } else {
                    block[0] = index::OVERFLOW_COUNT;
                    index.layer0_overflow[slot] = list;
                }
            } else if (!list.empty()) {
                if (index.upper_of[slot] == 0) {
                    index.upper.emplace_back();
                    index.upper_of[slot] = static_cast<std::uint32_t>(index.upper.size());
                }
                auto& layers = index.upper[index.upper_of[slot] - 1].layers;
                if (layers.size() < layer) layers.resize(layer);
                layers[layer - 1] = list;
            }
        }
        index.levels[slot] = level;
    }
    r.seek(end);
    return true;
}

// Where walks start: the recorded entry point when it is a node with a
// point; otherwise (a damaged snapshot) the highest node that has a point.
void choose_entry(const PointTable& points, HNSWIndex& index) {
    index.entry_slot = index::NO_SLOT;
    if (index.entry_point) {
        const std::uint32_t slot = points.slot_of.find(*index.entry_point);
        if (slot != core::IdMap::NONE && index.has_node(slot) && points.has_point(slot)) {
            index.entry_slot = slot;
            return;
        }
    }
    for (std::uint32_t slot = 0; slot < index.levels.size(); ++slot) {
        if (!index.has_node(slot) || !points.has_point(slot)) continue;
        if (index.entry_slot == index::NO_SLOT || index.levels[slot] > index.levels[index.entry_slot]) {
            index.entry_slot = slot;
        }
    }
}

// ---------------------------------------------------------------- files

std::string os_error(int code) {
    char buffer[256];
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

constexpr const char* CREATE_FAILED = "Failed to create snapshot file: ";
constexpr const char* WRITE_FAILED = "Failed to write serialized bytes to disk: ";
constexpr const char* NUL_IN_PATH = "file name contained an unexpected NUL byte";

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the error a close can carry (delayed write errors).
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc < 0 ? errno : 0;
    }

private:
    int fd_;
};

// Returns 0 or an error code; -1 for a write that accepted no bytes.
int write_all(int fd, std::span<const std::uint8_t> image) {
    std::size_t done = 0;
    while (done < image.size()) {
        const std::size_t chunk = std::min<std::size_t>(image.size() - done, 1u << 30);
        const ssize_t n = ::write(fd, image.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string write_error(int code) {
    return std::string(WRITE_FAILED) + (code == -1 ? "failed to write whole buffer" : os_error(code));
}

int sync_retrying(int fd) {
    while (::fsync(fd) < 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Truncates and rewrites `path` itself.
std::optional<std::string> write_in_place(const std::string& path, std::span<const std::uint8_t> image, bool regular,
                                          int existing_fd = -1) {
    FileDescriptor fd(existing_fd >= 0 ? existing_fd : open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (fd.get() < 0) return std::string(CREATE_FAILED) + os_error(errno);
    if (existing_fd >= 0 && ::ftruncate(fd.get(), 0) < 0) return write_error(errno);
    if (const int rc = write_all(fd.get(), image)) return write_error(rc);
    if (regular) {
        if (const int rc = sync_retrying(fd.get())) return write_error(rc);
    }
    if (const int rc = fd.close()) return write_error(rc);
    return std::nullopt;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string_view error_text(DecodeError error) {
    switch (error) {
        case DecodeError::UnexpectedEnd:
            return "Hit the end of buffer, expected more data";
        case DecodeError::BadVarint:
            return "Found a varint that didn't terminate. Is the usize too big for this platform?";
        case DecodeError::BadUtf8:
            return "Tried to parse invalid utf-8";
        case DecodeError::BadOption:
            return "Found an Option discriminant that wasn't 0 or 1";
        case DecodeError::BadVariant:
            return "Serde Deserialization Error";
    }
    return "";
}

core::PodBuffer<std::uint8_t> encode_snapshot(const PointTable& points, const HNSWIndex& index) {
    const std::size_t estimate = points.point_count * (24 + 4 * static_cast<std::size_t>(points.arena.dim)) +
                                 index.node_count * (24 + 3 * index.layer0_cap) + 64;
    Writer w(estimate);
    w.u64(points.point_count);
    for (std::uint32_t slot = 0; slot < points.slot_count(); ++slot) {
        if (!points.has_point(slot)) continue;
        const core::FloatSpan vector = points.vector(slot);
        w.u64(points.keys[slot]);
        w.u64(points.point_id(slot));
        w.u64(vector.size());
        w.raw(vector.data(), vector.size() * sizeof(float));
        write_payload(w, points.payloads[slot].get());
    }
    w.u64(index.m);
    w.u64(index.ef_construction);
    w.u64(index.ef_search);
    if (index.entry_point) {
        w.byte(1);
        w.u64(*index.entry_point);
    } else {
        w.byte(0);
    }
    w.u64(index.max_level);
    w.u64(index.node_count);
    for (std::uint32_t slot = 0; slot < index.levels.size(); ++slot) {
        if (!index.has_node(slot)) continue;
        w.u64(points.keys[slot]);
        const auto node_id = index.node_ids.find(slot);
        w.u64(node_id == index.node_ids.end() ? points.keys[slot] : node_id->second);
        for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
            const auto list = index.neighbors(slot, layer);
            w.u64(list.size());
            for (std::uint32_t entry : list) {
                if (entry < index::GHOST) __builtin_prefetch(points.keys.data() + entry);
            }
            for (std::uint32_t entry : list) w.u64(listed_id(points, index, entry));
        }
    }
    return w.take();
}

core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(std::span<const std::uint8_t> image) {
    Reader r(image);
    auto state = std::make_unique<StoreState>();
    if (!read_points(r, state->points)) return core::fail(r.error());
    std::uint64_t m, ef_construction, ef_search, max_level, entry = 0;
    bool has_entry;
    if (!r.u64(m) || !r.u64(ef_construction) || !r.u64(ef_search) || !r.option(has_entry) ||
        (has_entry && !r.u64(entry)) || !r.u64(max_level)) {
        return core::fail(r.error());
    }
    state->index = HNSWIndex(m, ef_construction, ef_search);
    if (has_entry) state->index.entry_point = entry;
    state->index.max_level = max_level;
    if (!read_nodes(r, state->points, state->index)) return core::fail(r.error());
    // Slots made for nodes (and the graph arrays) cover every slot now.
    grow_graph(state->index, state->points.slot_count());
    choose_entry(state->points, state->index);
    state->index.parents_pending = true;  // formed by the first change to the graph
    for (std::uint32_t slot = 0; slot < state->points.slot_count(); ++slot) {
        state->index.covered += state->points.has_point(slot) && state->index.has_node(slot);
    }
    return state;
}

std::optional<std::string> write_snapshot_file(const std::string& requested, std::span<const std::uint8_t> image) {
    if (requested.find('\0') != std::string::npos) return std::string(CREATE_FAILED) + NUL_IN_PATH;

    // Replace the file a symbolic link points to, not the link.
    std::string path = requested;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            path = resolved;
            std::free(resolved);
        }
    }
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, image, false);

    // A temporary file next to the target, so the rename stays on one file system.
    const std::string folder = folder_of(path);
    const std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temp;
    FileDescriptor fd;
    int create_error = 0;
    for (int attempt = 0; attempt < 8 && fd.get() < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(core::entropy64() & 0xFFFFFFFF) + ".tmp";
        fd.reset(open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
        create_error = fd.get() < 0 ? errno : 0;
        if (create_error != EEXIST) break;
    }
    if (fd.get() < 0) {
        // The folder refuses a new file; the target itself may still be writable.
        if (exists) {
            const int target = open_retrying(path.c_str(), O_WRONLY);
            if (target >= 0) return write_in_place(path, image, true, target);
        }
        return std::string(CREATE_FAILED) + os_error(create_error);
    }

    auto fail = [&](std::string message) {
        ::unlink(temp.c_str());
        return std::optional<std::string>(std::move(message));
    };
    if (exists) {
        // Keep the old file's permission bits (and owner, where allowed).
        ::fchmod(fd.get(), st.st_mode & 07777);
        if (::fchown(fd.get(), st.st_uid, st.st_gid) < 0) {
            // Only the owner's own ids can be given without privileges.
        }
    }
    if (const int rc = write_all(fd.get(), image)) return fail(write_error(rc));
    if (const int rc = sync_retrying(fd.get())) return fail(write_error(rc));
    if (const int rc = fd.close()) return fail(write_error(rc));
    if (::rename(temp.c_str(), path.c_str()) < 0) return fail(write_error(errno));

    // Make the rename itself durable.
    FileDescriptor dir(open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.get() >= 0) {
        const int rc = sync_retrying(dir.get());
        if (rc != 0 && rc != EINVAL) return write_error(rc);
    }
    return std::nullopt;
}

core::Result<core::PodBuffer<std::uint8_t>, std::string> read_snapshot_file(const std::string& path) {
    constexpr const char* OPEN_FAILED = "Failed to open snapshot file: ";
    constexpr const char* READ_FAILED = "Failed to read snapshot file bytes: ";
    if (path.find('\0') != std::string::npos) return core::fail(std::string(OPEN_FAILED) + NUL_IN_PATH);
    FileDescriptor fd(open_retrying(path.c_str(), O_RDONLY));
    if (fd.get() < 0) return core::fail(std::string(OPEN_FAILED) + os_error(errno));
    core::PodBuffer<std::uint8_t> bytes;
    try {
        // The reported size is only a hint: the file is read until its end.
        struct stat st;
        if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
        for (;;) {
            const std::size_t size = bytes.size();
            const std::size_t want = std::max<std::size_t>(bytes.capacity() - size, 65536);
            std::uint8_t* target = bytes.extend(want);
            const ssize_t n = ::read(fd.get(), target, want);
            bytes.set_size(size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0) {
                if (errno == EINTR) continue;
                return core::fail(std::string(READ_FAILED) + os_error(errno));
            }
            if (n == 0) break;
        }
    } catch (const std::bad_alloc&) {
        return core::fail(std::string(READ_FAILED) + "out of memory");
    }
    return bytes;
}

}  // namespace karnoxel::storage
