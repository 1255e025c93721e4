#pragma once

// Files: the static replies, the log and the scripts' first lines.

#include "common/deadline.h"
#include "platform/socket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace platform {

// Owns one open file; closes it on destruction. Move-only.
class File {
public:
    File() = default;
    explicit File(std::intptr_t handle) : handle_(handle) {}
    ~File() { close(); }
    File(File&& other) noexcept : handle_(other.release()) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool valid() const { return handle_ != invalid_handle; }
    std::intptr_t get() const { return handle_; }
    // Gives the handle up without closing it.
    std::intptr_t release() {
        std::intptr_t handle = handle_;
        handle_ = invalid_handle;
        return handle;
    }
    // Closes the handle, if any; each backend has its own way.
    void close();

    static constexpr std::intptr_t invalid_handle = -1;

private:
    std::intptr_t handle_ = invalid_handle;
};

// Opens an existing regular file for reading, shared with other readers and
// writers, bytes as stored, and stores its size in `size`. A directory, FIFO,
// device or socket fails, and the open never blocks on one. Invalid on any
// failure, the size included.
File open_regular_file(const char* path, std::uint64_t& size);

// Sends `count` bytes of `file` from its start to `socket`, in constant
// memory, waiting for the socket to take more after a partial send. Returns 0
// when all `count` bytes went out, -1 when the peer failed, the deadline
// passed, or the file ended before `count` bytes (then the connection is left
// short, never padded).
int send_file(Socket& socket, File& file, std::uint64_t count, Deadline deadline);

// Opens the log file for appending, creating it when missing. Invalid on
// failure.
File open_log_file(const char* path);
// Moves to the end of the file and returns that position (the size before
// writing), or nothing on failure.
std::optional<std::uint64_t> seek_to_end(File& file);
// Writes all of `bytes`. Returns false on failure.
bool write_file(File& file, std::span<const char> bytes);
// Makes what was written durable on disk. Returns false on failure.
bool flush_file(File& file);

// Removes a file. Returns false on failure.
bool remove_file(const char* path);
// Renames a file. Whether an existing `to` is replaced differs between the
// platforms, so a caller that wants it gone removes it first. Returns false on
// failure.
bool rename_file(const char* from, const char* to);
// True when something exists at `path` (the existence test of CGI names).
bool path_exists(const char* path);

} // namespace platform
