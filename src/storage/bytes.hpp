// The image's primitive encodings: LEB128 varints (and the 5-byte 32-bit
// form of variant indexes), zigzag signed integers, raw little-endian
// floats, length-prefixed UTF-8 strings and presence bytes. Writer appends
// them to a buffer; Reader takes them from memory or from a ByteSource,
// pulling only as many bytes as the values read need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/buffer.hpp"
#include "storage/codec.hpp"

namespace karnoxel::storage {

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

// Reads the image from memory, or from a source as far as the image needs.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> image) : base_(image.data()), size_(image.size()) {}
    Reader(ByteSource& source, core::PodBuffer<std::uint8_t>& buffer) : source_(&source), buffer_(&buffer) { sync(); }

    // The cursor's offset from the start of the image.
    std::size_t offset() const { return dropped_ + pos_; }
    // How many bytes of the image likely follow the cursor (0: unknown).
    std::uint64_t remaining_hint() const {
        if (source_ == nullptr) return size_ - pos_;
        const std::uint64_t total = source_->size_hint();
        return total > offset() ? total - offset() : 0;
    }
    // Keeps every byte from the cursor on in memory, for between(). Until
    // then a reader of a source drops the bytes behind its cursor, so that
    // the image never has to be in memory whole: its points are copied into
    // the store as they arrive.
    std::size_t keep_from_here() {
        keeping_ = true;
        return offset();
    }
    // Bytes of the image from `from` (an offset at or after keep_from_here()) to `to`.
    std::span<const std::uint8_t> between(std::size_t from, std::size_t to) const {
        return {base_ + (from - dropped_), to - from};
    }
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
        if (!keeping_ && pos_ >= DROP_AFTER) drop_behind();
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
    // Moves the bytes not read yet (less than the last pull) to the front
    // of the buffer, which the next pulls then fill again.
    void drop_behind() {
        const std::size_t rest = size_ - pos_;
        std::memmove(buffer_->data(), base_ + pos_, rest);
        buffer_->set_size(rest);
        dropped_ += pos_;
        pos_ = 0;
        sync();
    }
    // Dropping waits for this many read bytes: few moves, and the pages of
    // the buffer's front are reused while they are warm.
    static constexpr std::size_t DROP_AFTER = std::size_t{4} << 20;

    const std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
    std::size_t dropped_ = 0;  // bytes of the image dropped from the buffer's front
    bool keeping_ = false;
    ByteSource* source_ = nullptr;
    core::PodBuffer<std::uint8_t>* buffer_ = nullptr;
    DecodeError error_ = DecodeError::UnexpectedEnd;
};

}  // namespace karnoxel::storage
