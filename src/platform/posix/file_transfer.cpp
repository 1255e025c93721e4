// Opening the files of static replies and streaming them to a connection.

#include "platform/file.h"
#include "platform/posix/poll_timeout.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The largest piece handed to one sendfile call; the kernel moves the bytes,
// so no buffer of ours grows with the file.
constexpr std::uint64_t largest_piece = 1u << 20;

// Waits until `fd` can take more bytes. False when the deadline passed first
// or the wait itself failed; a socket in error counts as writable, so that the
// next send reports the failure.
bool wait_writable(int fd, Deadline deadline) {
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        int ready = ::poll(&entry, 1, poll_timeout(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

File open_regular_file(const char* path) {
    // O_NONBLOCK keeps the open itself from waiting on a FIFO without a writer
    // or on a device; O_NOCTTY keeps a terminal from becoming ours.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return {};
    }
    // Reads of a regular file never wait, so the flag changes nothing for
    // them; it is cleared so that the descriptor behaves like any other open.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return File(fd);
}

std::optional<std::uint64_t> file_size(File& file) {
    struct stat status {};
    if (::fstat(static_cast<int>(file.get()), &status) != 0 || status.st_size < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

// sendfile cannot take MSG_NOSIGNAL: a send to a connection the peer has closed
// raises SIGPIPE, which the main routine ignores for the whole process, so the
// call fails with EPIPE instead.
int send_file(Socket& socket, File& file, std::uint64_t count, Deadline deadline) {
    int out = static_cast<int>(socket.get());
    int in = static_cast<int>(file.get());
    off_t offset = 0;
    std::uint64_t remaining = count;
    while (remaining > 0) {
        std::uint64_t piece = remaining < largest_piece ? remaining : largest_piece;
        ssize_t sent = ::sendfile(out, in, &offset, static_cast<std::size_t>(piece));
        if (sent > 0) {
            remaining -= static_cast<std::uint64_t>(sent);
            continue;
        }
        if (sent == 0)
            return -1; // the file ended before `count` bytes
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        if (!wait_writable(out, deadline))
            return -1;
    }
    return 0;
}

} // namespace platform
