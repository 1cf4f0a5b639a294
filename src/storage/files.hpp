// Snapshot files: the atomic write of an image, and reading a file as the
// decoder needs its bytes.
//
// Every blocking system call (an open of a FIFO with no peer, a read or a
// write that waits) notices signals: when one is interrupted, the caller's
// Interrupt decides whether to give up, so Ctrl-C stops a save or a load
// that would otherwise wait forever.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/buffer.hpp"
#include "storage/codec.hpp"

namespace karnoxel::storage {

enum class FileStatus { Done, Failed, Interrupted };

struct FileOutcome {
    FileStatus status = FileStatus::Done;
    std::string message;  // for Failed: the whole message of the error
};

// Called when a system call was interrupted by a signal: true abandons the
// operation (the signal's handler raised an exception), false retries.
struct Interrupt {
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;
    bool operator()() const { return stop != nullptr && stop(context); }
};

// Writes an image to `path` atomically: a temporary file in the same folder
// (with a name that always fits), synced, given the old file's permission
// bits, renamed over the target, the folder synced. Symbolic links are
// followed, dangling ones included, as open(path, "w") would. Targets that
// are not regular files (devices, FIFOs) are written in place, and so is a
// regular target whose folder refuses new files (no write permission) while
// the file itself is writable: that one fallback is not atomic. Temporary
// files that killed saves of this user left in the folder are removed.
FileOutcome write_snapshot_file(const std::string& path, std::span<const std::uint8_t> image,
                                const Interrupt& interrupt);

// A snapshot file opened for reading and read in chunks as the decoder asks,
// so reading stops soon after the image ends. A source that is not a regular
// file (a FIFO, a device) may deliver at most as many bytes as the machine
// has physical memory.
class SnapshotReader final : public ByteSource {
public:
    explicit SnapshotReader(const Interrupt& interrupt) : interrupt_(interrupt) {}
    ~SnapshotReader() override;
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    FileOutcome open(const std::string& path);
    bool pull(core::PodBuffer<std::uint8_t>& buffer, std::size_t want) override;
    bool failed() const override { return failure_.status != FileStatus::Done; }
    std::uint64_t size_hint() const override { return size_hint_; }
    // Why pull() failed.
    const FileOutcome& failure() const { return failure_; }

private:
    Interrupt interrupt_;
    int fd_ = -1;
    bool regular_ = true;
    std::uint64_t size_hint_ = 0;  // a regular file's size when opened
    std::uint64_t limit_ = 0;      // most bytes a non-regular source may deliver
    std::uint64_t total_ = 0;      // bytes delivered so far
    FileOutcome failure_;
};

}  // namespace karnoxel::storage
