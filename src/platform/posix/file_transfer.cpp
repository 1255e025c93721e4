// Opening the files of static replies and streaming them to a connection.

#include "platform/file.h"

#include "common/blocking.h"
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
    about_to_block();
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

File open_regular_file(const char* path, std::uint64_t& size) {
    // O_NONBLOCK keeps the open itself from waiting on a FIFO without a writer
    // or on a device; O_NOCTTY keeps a terminal from becoming ours.
    File file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid())
        return {};
    int fd = static_cast<int>(file.get());
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0)
        return {};
    // The flag is cleared so that sendfile never meets a read that declines to
    // wait for the disk. Of the flags F_SETFL changes, the open set only this
    // one, so no F_GETFL is needed to keep the others.
    if (::fcntl(fd, F_SETFL, 0) != 0)
        return {};
    size = static_cast<std::uint64_t>(status.st_size);
    return file;
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
