#include "platform/file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

void File::close() {
    if (handle_ == invalid_handle)
        return;
    // The descriptor is gone after close() even when it reports EINTR, so it
    // is never closed twice.
    (void)::close(static_cast<int>(handle_));
    handle_ = invalid_handle;
}

File open_log_file(const char* path) {
    // O_APPEND keeps each record whole at the end even if some other process
    // appends too. O_NONBLOCK keeps a FIFO put in the log's place from
    // blocking the writer until some reader turns up; regular files ignore it.
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? File{} : File{fd};
}

std::optional<std::uint64_t> seek_to_end(File& file) {
    off_t end = ::lseek(static_cast<int>(file.get()), 0, SEEK_END);
    if (end < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end);
}

bool write_file(File& file, std::span<const char> bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(static_cast<int>(file.get()), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

bool flush_file(File& file) {
    return ::fdatasync(static_cast<int>(file.get())) == 0;
}

bool remove_file(const char* path) {
    return ::unlink(path) == 0;
}

bool rename_file(const char* from, const char* to) {
    return ::rename(from, to) == 0;
}

bool path_exists(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0;
}

} // namespace platform
