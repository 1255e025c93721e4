#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

namespace platform {

namespace {

// Straight to the descriptor, never through a stdio buffer: the process is
// ended from outside at any moment, and a buffered text would be lost.
void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nobody is reading; the text has nowhere to go
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace

void console_write(std::string_view text) {
    write_all(STDOUT_FILENO, text);
}

void error_write(std::string_view text) {
    write_all(STDERR_FILENO, text);
}

int console_read_char() {
    unsigned char byte;
    for (;;) {
        ssize_t count = ::read(STDIN_FILENO, &byte, 1);
        if (count == 1)
            return byte;
        if (count < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

} // namespace platform
