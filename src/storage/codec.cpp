#include "storage/codec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/kernels.hpp"

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

void write_points(Writer& w, const PointTable& points) {
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
}

void write_graph(Writer& w, const PointTable& points, const HNSWIndex& index) {
    if (index.raw) {
        // A damaged graph read from an image goes back exactly as read.
        w.raw(index.raw->record.data(), index.raw->record.size());
        return;
    }
    const core::RowStore& rows = points.rows;
    auto key_of_row = [&](std::uint32_t row) { return points.keys[rows.slot_of[row]]; };
    w.u64(index.m);
    w.u64(index.ef_construction);
    w.u64(index.ef_search);
    if (index.entry_row != core::NO_ROW) {
        w.byte(1);
        w.u64(key_of_row(index.entry_row));
    } else {
        w.byte(0);
    }
    w.u64(index.max_level);
    w.u64(index.node_count);
    for (std::uint32_t slot = 0; slot < points.slot_count(); ++slot) {
        const std::uint32_t row = points.row_of[slot];
        if (row == core::NO_ROW || !index.has_node(row)) continue;
        w.u64(points.keys[slot]);
        w.u64(points.keys[slot]);
        for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
            const auto list = index.neighbors(rows, row, layer);
            // Links to rows whose node is gone are passed over by every walk:
            // they are left out.
            std::size_t live = 0;
            for (std::uint32_t entry : list) {
                __builtin_prefetch(rows.slot_of.data() + entry);
                live += index.has_node(entry);
            }
            w.u64(live);
            for (std::uint32_t entry : list) {
                if (index.has_node(entry)) w.u64(key_of_row(entry));
            }
        }
    }
}

// ---------------------------------------------------------------- decoding

// Reads the image from memory, or from a source as far as the image needs.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> image) : base_(image.data()), size_(image.size()) {}
    Reader(ByteSource& source, core::PodBuffer<std::uint8_t>& buffer) : source_(&source), buffer_(&buffer) { sync(); }

    std::size_t offset() const { return pos_; }
    std::span<const std::uint8_t> between(std::size_t from, std::size_t to) const { return {base_ + from, to - from}; }
    DecodeError error() const { return error_; }

    bool fail(DecodeError error) {
        error_ = error;
        return false;
    }

    // Makes `count` bytes available at the cursor, pulling from the source.
    bool need(std::size_t count) { return size_ - pos_ >= count || refill(count); }

    // At most 10 bytes; the tenth must be 0 or 1. Longer-than-needed forms are fine.
    bool u64(std::uint64_t& v) {
        if (size_ - pos_ >= 10) {
            v = 0;
            const std::uint8_t* p = base_ + pos_;
            for (int i = 0; i < 10; ++i) {
                const std::uint8_t b = p[i];
                if (i == 9 && b > 0x01) return fail(DecodeError::BadVarint);
                v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
                if ((b & 0x80) == 0) {
                    pos_ += static_cast<std::size_t>(i) + 1;
                    return true;
                }
            }
        }
        return varint<std::uint64_t, 10, 0x01>(v);
    }

    // A 32-bit varint of at most 5 bytes; the fifth must not exceed 0x0F.
    bool u32(std::uint32_t& v) { return varint<std::uint32_t, 5, 0x0F>(v); }

    bool i64(std::int64_t& v) {
        std::uint64_t u;
        if (!u64(u)) return false;
        v = static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
        return true;
    }

    bool option(bool& present) {
        if (!need(1)) return false;
        const std::uint8_t b = base_[pos_++];
        if (b > 1) return fail(DecodeError::BadOption);
        present = b == 1;
        return true;
    }

    // `count` bytes at the cursor; valid until the next read.
    bool bytes(std::uint64_t count, const std::uint8_t*& out) {
        if (count > SIZE_MAX / 2) return fail(DecodeError::UnexpectedEnd);
        if (!need(static_cast<std::size_t>(count))) return false;
        out = base_ + pos_;
        pos_ += static_cast<std::size_t>(count);
        return true;
    }

    bool string(std::string& out) {
        std::uint64_t size;
        const std::uint8_t* data;
        if (!u64(size) || !bytes(size, data)) return false;
        if (!valid_utf8(data, static_cast<std::size_t>(size))) return fail(DecodeError::BadUtf8);
        out.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
        return true;
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
    // The byte-at-a-time varint: at most `Bytes` bytes, the last one at
    // most `Last`. Longer-than-needed forms are accepted.
    template <class T, int Bytes, std::uint8_t Last>
    bool varint(T& v) {
        v = 0;
        for (int i = 0; i < Bytes; ++i) {
            if (!need(1)) return false;
            const std::uint8_t b = base_[pos_++];
            if (i == Bytes - 1 && b > Last) return fail(DecodeError::BadVarint);
            v |= static_cast<T>(static_cast<T>(b & 0x7F) << (7 * i));
            if ((b & 0x80) == 0) return true;
        }
        return true;  // unreachable: the last byte has no continuation bit
    }

    bool refill(std::size_t count) {
        if (source_ == nullptr) return fail(DecodeError::UnexpectedEnd);
        while (size_ - pos_ < count) {
            const bool more = source_->pull(*buffer_, count - (size_ - pos_));
            sync();
            if (!more && size_ - pos_ < count) {
                return fail(source_->failed() ? DecodeError::SourceFailed : DecodeError::UnexpectedEnd);
            }
        }
        return true;
    }
    void sync() {
        base_ = buffer_->data();
        size_ = buffer_->size();
    }

    const std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
    ByteSource* source_ = nullptr;
    core::PodBuffer<std::uint8_t>* buffer_ = nullptr;
    DecodeError error_ = DecodeError::UnexpectedEnd;
};

// Capacity to reserve for `count` elements of `element_size` bytes: never
// more than 1 MiB ahead of the elements that have arrived.
std::size_t reservation(std::uint64_t count, std::size_t element_size) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, MAX_RESERVE_BYTES / element_size));
}

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
    entries.reserve(reservation(count, sizeof(entries[0])));
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
    // Gives the point added last its payload.
    void attach_last(std::unique_ptr<core::Payload> payload) { pending_.back().payload = std::move(payload); }

    void flush() {
        if (pending_.empty()) return;
        const float* rows[CAPACITY];
        float norms[CAPACITY];
        for (std::size_t i = 0; i < pending_.size(); ++i) rows[i] = values_.data() + pending_[i].offset;
        zeros_.assign(length_, 0.0f);
        core::exact_kernels().sqdiff_rows(zeros_.data(), rows, pending_.size(), length_, norms);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending& p = pending_[i];
            const core::PutPlan put =
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
        if (length > SIZE_MAX / 8) return r.fail(DecodeError::UnexpectedEnd);
        if (!r.bytes(length * sizeof(float), floats)) return false;
        // A store never holds a vector this long (its length would not fit).
        if (length > core::MAX_VECTOR_LENGTH) return r.fail(DecodeError::BadVariant);
        std::unique_ptr<core::Payload> payload;
        // The floats must be copied before the payload is read (a read may move the buffer).
        batch.add(key, id, floats, static_cast<std::size_t>(length), nullptr);
        if (!read_payload(r, payload)) return false;
        batch.attach_last(std::move(payload));
    }
    batch.flush();
    return true;
}

// The rows follow the graph: when the image's entry point has a vector of
// another length than the one the rows took from the first points, and that
// length is as common, the rows move to it (as they would have when the
// store was written). Otherwise the most common length takes the rows, as
// upserts do.
void choose_row_length(PointTable& points, const index::GraphHeader& header) {
    std::optional<std::uint32_t> target;
    if (header.entry_point) {
        if (auto slot = core::find_slot(points, *header.entry_point); slot && points.has_point(*slot)) {
            const std::uint32_t len = points.lens[*slot];
            auto it = points.aside.steerable.find(len);
            if (len != points.rows.dim && it != points.aside.steerable.end() && it->second >= points.rows.count) {
                target = len;
            }
        }
    }
    if (!target) {
        for (const auto& [len, count] : points.aside.steerable) {
            if (count > points.rows.count && (!target || count > points.aside.steerable.at(*target))) target = len;
        }
    }
    if (!target) return;
    core::Layout layout = core::relayout(points, *target);
    core::swap_layout(points, layout);
}

bool read_graph(Reader& r, StoreState& state) {
    const std::size_t start = r.offset();
    index::GraphHeader header;
    std::uint64_t entry = 0;
    bool has_entry;
    if (!r.u64(header.m) || !r.u64(header.ef_construction) || !r.u64(header.ef_search) || !r.option(has_entry) ||
        (has_entry && !r.u64(entry)) || !r.u64(header.max_level)) {
        return false;
    }
    if (has_entry) header.entry_point = entry;
    choose_row_length(state.points, header);

    index::GraphBuilder builder(state.points, header);
    std::uint64_t count;
    if (!r.u64(count)) return false;
    std::array<std::vector<std::uint64_t>, MAX_LAYERS> lists;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key, id, length;
        if (!r.u64(key) || !r.u64(id)) return false;
        for (auto& list : lists) {
            if (!r.u64(length)) return false;
            list.clear();
            list.reserve(reservation(length, sizeof(std::uint64_t)));
            for (std::uint64_t k = 0; k < length; ++k) {
                std::uint64_t value;
                if (!r.u64(value)) return false;
                list.push_back(value);
            }
        }
        builder.add_node(key, id, lists);
    }
    state.index = builder.finish(r.between(start, r.offset()));
    return true;
}

core::Result<std::unique_ptr<StoreState>, DecodeError> decode(Reader& r) {
    auto state = std::make_unique<StoreState>();
    if (!read_points(r, state->points) || !read_graph(r, *state)) return core::fail(r.error());
    return state;
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
        case DecodeError::SourceFailed:
            return "the source of the bytes failed";
    }
    return "";
}

core::PodBuffer<std::uint8_t> encode_snapshot(const PointTable& points, const HNSWIndex& index) {
    const std::size_t estimate = points.point_count * (24 + 4 * static_cast<std::size_t>(points.rows.dim)) +
                                 index.node_count * (24 + 3 * index.layer0_cap) + 64 +
                                 (index.raw ? index.raw->record.size() : 0);
    Writer w(estimate);
    write_points(w, points);
    write_graph(w, points, index);
    return w.take();
}

core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(std::span<const std::uint8_t> image) {
    Reader r(image);
    return decode(r);
}

core::Result<std::unique_ptr<StoreState>, DecodeError> decode_snapshot(ByteSource& source) {
    core::PodBuffer<std::uint8_t> buffer;
    Reader r(source, buffer);
    return decode(r);
}

}  // namespace karnoxel::storage
