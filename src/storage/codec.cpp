#include "storage/codec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/kernels.hpp"
#include "parallel/page_filler.hpp"
#include "storage/bytes.hpp"

namespace karnoxel::storage {
namespace {

using core::PointTable;
using index::HNSWIndex;
using index::MAX_LAYERS;

static_assert(std::endian::native == std::endian::little, "snapshot floats are copied as little-endian bytes");

// The most a reservation may run ahead of the elements that have arrived.
constexpr std::size_t MAX_RESERVE_BYTES = 1 << 20;

// ---------------------------------------------------------------- encoding

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
    std::vector<float> joined;
    for (std::uint32_t slot = 0; slot < points.slot_count(); ++slot) {
        if (!points.has_point(slot)) continue;
        const core::FloatSpan vector = points.vector(slot, joined);
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
    // Each row's id, in one array: the lists name rows all over the store,
    // and one load an entry beats two dependent ones (row to slot to id).
    std::vector<std::uint64_t> row_keys(rows.size(), 0);
    for (std::uint32_t row = 0; row < rows.size(); ++row) {
        if (rows.used(row)) row_keys[row] = points.keys[rows.slot_of[row]];
    }
    auto key_of_row = [&](std::uint32_t row) { return row_keys[row]; };
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
                __builtin_prefetch(row_keys.data() + entry);
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

// Capacity to reserve for `count` elements of `element_size` bytes: never
// more than 1 MiB ahead of the elements that have arrived.
std::size_t reservation(std::uint64_t count, std::size_t element_size) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, MAX_RESERVE_BYTES / element_size));
}

// One payload value: its variant index, then its content.
bool read_value(Reader& r, core::PayloadValue& value) {
    std::uint32_t variant;
    if (!r.u32(variant)) return false;
    switch (variant) {
        case 0:
        case 1: {
            std::string text;
            if (!r.string(text)) return false;
            // The variant is taken as recorded, whatever the string's length.
            if (variant == 0) {
                value = core::Keyword{std::move(text)};
            } else {
                value = core::Text{std::move(text)};
            }
            return true;
        }
        case 2: {
            std::int64_t number;
            if (!r.i64(number)) return false;
            value.emplace<2>(number);
            return true;
        }
        case 3: {
            const std::uint8_t* bytes;
            if (!r.bytes(8, bytes)) return false;
            double number;
            std::memcpy(&number, bytes, sizeof number);
            value.emplace<3>(number);
            return true;
        }
        default:
            return r.fail(DecodeError::BadVariant);
    }
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
        core::PayloadValue value;
        if (!r.string(key) || !read_value(r, value)) return false;
        entries.emplace_back(std::move(key), std::move(value));
    }
    // A key that occurs twice keeps the later value.
    out = std::make_unique<core::Payload>(core::make_payload(std::move(entries)));
    return true;
}

// Whether a load's rows take huge pages from their first touch
// (KARNOXEL_LOAD_HUGE_PAGES=1). By default they take small ones, which the
// kernel merges into huge ones only a few megabytes every ten seconds:
// searches of a large store loaded that way run slower for minutes (a
// fifth slower at a million rows of 128 values), where taking huge pages at
// once makes the load itself slower, by how much depending on how readily
// the system finds free 2 MiB blocks.
bool load_takes_huge_pages() {
    static const bool on = [] {
        const char* text = std::getenv("KARNOXEL_LOAD_HUGE_PAGES");
        return text != nullptr && std::strcmp(text, "1") == 0;
    }();
    return on;
}

// Points are stored in batches of one vector length, their sums of squares
// formed 16 at a time by the exact row kernel: squares of differences from
// a zero query are the squares themselves, bit for bit, summed in the same
// order as a single vector's.
class PointBatch {
public:
    explicit PointBatch(PointTable& points) : points_(points) {}

    // Room for `count` points is made once the first batch has set the
    // rows' length: an image's points then move no memory as they arrive.
    void expect(std::size_t count) { expected_ = count; }

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
        // Points that could move the rows (more of them than there is room
        // for, or of another length) wait for the page filler first.
        if (filler_.running() && (length_ != points_.rows.dim || !core::row_room_ready(points_, pending_.size()))) {
            filler_.wait();
        }
        zeros_.assign(length_, 0.0f);
        core::exact_kernels().sqdiff_rows(zeros_.data(), rows, pending_.size(), length_, norms);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            Pending& p = pending_[i];
            const core::PutPlan put =
                core::put_point(points_, p.key, {rows[i], length_}, std::move(p.payload), norms[i]);
            core::keep_point_id(points_, put.slot, p.id);
        }
        if (expected_ > pending_.size()) {
            // Room made at once is written at once: a first touch of huge
            // pages can cost more than they save (in virtual machines
            // especially), so the load takes small ones and asks for huge
            // ones once it is done (read_points), unless told otherwise.
            points_.rows.words.use_huge_pages(load_takes_huge_pages());
            core::reserve_points(points_, expected_ - pending_.size());
            // The rows still to come are written front to back: their pages
            // are faulted in beside the decoding.
            auto& words = points_.rows.words;
            filler_.start(words.end(), (words.capacity() - words.size()) * sizeof(words[0]));
        }
        expected_ = 0;
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
    std::size_t expected_ = 0;
    parallel::PageFiller filler_;  // declared last: stops first, before the buffers above go
};

bool read_point_list(Reader& r, PointTable& points, std::uint64_t count) {
    PointBatch batch(points);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t key, id, length;
        if (!r.u64(key) || !r.u64(id) || !r.u64(length)) return false;
        const std::uint8_t* floats;
        if (length > SIZE_MAX / 8) return r.fail(DecodeError::UnexpectedEnd);
        if (!r.bytes(length * sizeof(float), floats)) return false;
        // A store never holds a vector this long (its length would not fit).
        if (length > core::MAX_VECTOR_LENGTH) return r.fail(DecodeError::BadVariant);
        if (i == 0) {
            // As many points as the header says, if the rest of the image can
            // hold that many points of the first one's length: never more
            // than a point per 32 bytes the image has left.
            const std::uint64_t least_bytes = std::max<std::uint64_t>(4 * length + 4, 32);
            batch.expect(static_cast<std::size_t>(std::min(count, r.remaining_hint() / least_bytes + 1)));
        }
        std::unique_ptr<core::Payload> payload;
        // The floats must be copied before the payload is read (a read may move the buffer).
        batch.add(key, id, floats, static_cast<std::size_t>(length), nullptr);
        if (!read_payload(r, payload)) return false;
        batch.attach_last(std::move(payload));
    }
    batch.flush();
    return true;
}

bool read_points(Reader& r, PointTable& points) {
    std::uint64_t count;
    if (!r.u64(count)) return false;
    if (!read_point_list(r, points, count)) return false;
    // The rows were faulted in as small pages; the kernel may merge them
    // into huge ones from now on, in the background.
    points.rows.words.use_huge_pages();
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
    // A graph that does not hold together is kept as the bytes it came as.
    const std::size_t start = r.keep_from_here();
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
