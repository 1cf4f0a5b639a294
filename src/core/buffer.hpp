// A growable array of trivially copyable values.
//
// Small arrays live on the malloc heap. From 1 MiB on, an array owns its own
// anonymous mapping and grows by remapping pages (mremap): growing a
// multi-gigabyte arena neither copies it, nor briefly holds it twice, nor
// leaves the outgrown block behind as a resident hole in the heap, as
// std::vector's reallocation does.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "core/fault.hpp"

namespace karnoxel::core {

template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PodBuffer() = default;
    ~PodBuffer() { release(); }
    PodBuffer(PodBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          huge_(std::exchange(other.huge_, false)) {}
    PodBuffer& operator=(PodBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            huge_ = std::exchange(other.huge_, false);
        }
        return *this;
    }
    PodBuffer(const PodBuffer&) = delete;
    PodBuffer& operator=(const PodBuffer&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    // Throws std::bad_alloc and leaves the buffer as it was on failure.
    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        fault::on_allocation();
        if (count > SIZE_MAX / sizeof(T) - PAGE) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        if (bytes < MAPPED) {
            void* grown = std::realloc(data_, bytes);
            if (grown == nullptr) throw std::bad_alloc();
            data_ = static_cast<T*>(grown);
            capacity_ = count;
            return;
        }
        const std::size_t mapped = (bytes + PAGE - 1) / PAGE * PAGE;
        void* grown;
        if (mapped_bytes() != 0) {
            grown = remap(data_, mapped_bytes(), mapped);
        } else {
            grown = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (grown != MAP_FAILED && size_ != 0) std::memcpy(grown, data_, size_ * sizeof(T));
            if (grown != MAP_FAILED) std::free(data_);
        }
        if (grown == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = mapped / sizeof(T);
        if (huge_) advise_huge_pages();
    }

    // Asks for transparent huge pages for this array, now and as it grows
    // (mappings of 2 MiB and more; only advice, nothing changes where the
    // system refuses), or stops asking for its growth. For arrays read all
    // over, such as the rows a graph walk visits at random: 2 MiB pages
    // spare those reads most address-translation misses. Pages already
    // touched are merged into huge ones in the background by the kernel.
    void use_huge_pages(bool on = true) {
        huge_ = on;
        advise_huge_pages();
    }

    // Grows geometrically; new elements take `value`.
    void resize(std::size_t count, T value) {
        if (count > capacity_) reserve(std::max(count, capacity_ + capacity_ / 2));
        if (count > size_) std::fill(data_ + size_, data_ + count, value);
        size_ = count;
    }

    // Appends `count` elements left uninitialised, for the caller to fill
    // (reading a file into them, say); returns where they start.
    T* extend(std::size_t count) {
        if (size_ + count > capacity_) reserve(std::max(size_ + count, capacity_ + capacity_ / 2));
        T* start = data_ + size_;
        size_ += count;
        return start;
    }

    // Sets the number of elements in use to `count` (at most the capacity):
    // drops elements from the end, or takes back ones written after extend().
    void set_size(std::size_t count) { size_ = std::min(capacity_, count); }

    void assign(std::size_t count, T value) {
        size_ = 0;
        resize(count, value);
    }

private:
    static constexpr std::size_t PAGE = 4096;
    static constexpr std::size_t MAPPED = 1 << 20;  // arrays from this size own a mapping
    static constexpr std::size_t HUGE_PAGE = 2 << 20;

    // Grows a mapping in place if the pages after it are free, otherwise
    // moves it to an address at the same offset within a 2 MiB page: the
    // kernel then moves its huge pages whole, where at any other offset it
    // would split every one of them into 4 KiB pages.
    static void* remap(void* old, std::size_t old_bytes, std::size_t new_bytes) {
        void* grown = ::mremap(old, old_bytes, new_bytes, 0);
        if (grown != MAP_FAILED) return grown;
        const std::size_t span = new_bytes + HUGE_PAGE;
        void* room = ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (room == MAP_FAILED) return ::mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE);
        // The first address of the room at the old mapping's offset: within
        // its first 2 MiB, so the whole new mapping fits in the room.
        const auto base = reinterpret_cast<std::uintptr_t>(room);
        const auto offset = reinterpret_cast<std::uintptr_t>(old) % HUGE_PAGE;
        const std::uintptr_t target = base + (offset + HUGE_PAGE - base % HUGE_PAGE) % HUGE_PAGE;
        grown = ::mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(target));
        if (grown == MAP_FAILED) {
            ::munmap(room, span);
            return ::mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE);
        }
        // The reserved pages before and after the moved mapping go back.
        if (target > base) ::munmap(room, target - base);
        if (base + span > target + new_bytes) {
            ::munmap(reinterpret_cast<void*>(target + new_bytes), base + span - (target + new_bytes));
        }
        return grown;
    }

    // The mapping keeps its advice when it grows or moves.
    void advise_huge_pages() {
#if defined(MADV_HUGEPAGE) && defined(MADV_NOHUGEPAGE)
        if (const std::size_t bytes = mapped_bytes(); bytes >= HUGE_PAGE) {
            ::madvise(data_, bytes, huge_ ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        }
#endif
    }

    std::size_t mapped_bytes() const {
        const std::size_t bytes = capacity_ * sizeof(T);
        return bytes >= MAPPED ? (bytes + PAGE - 1) / PAGE * PAGE : 0;
    }
    void release() {
        if (data_ == nullptr) return;
        if (const std::size_t bytes = mapped_bytes()) {
            ::munmap(data_, bytes);
        } else {
            std::free(data_);
        }
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;      // elements in use
    std::size_t capacity_ = 0;  // elements allocated
    bool huge_ = false;         // huge pages asked for
};

}  // namespace karnoxel::core
