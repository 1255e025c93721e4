#include "platform/console.h"

#include <windows.h>

namespace platform {

namespace {

// Straight to the handle, never through a runtime buffer: the process is ended
// from outside at any moment, and a buffered text would be lost.
void write_all(DWORD which, std::string_view text) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    while (!text.empty()) {
        DWORD piece = text.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(text.size());
        DWORD written = 0;
        if (!::WriteFile(handle, text.data(), piece, &written, nullptr) || written == 0)
            return; // nobody is reading; the text has nowhere to go
        text.remove_prefix(written);
    }
}

} // namespace

void console_write(std::string_view text) {
    write_all(STD_OUTPUT_HANDLE, text);
}

void error_write(std::string_view text) {
    write_all(STD_ERROR_HANDLE, text);
}

int console_read_char() {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return -1;
    unsigned char byte = 0;
    DWORD count = 0;
    if (!::ReadFile(input, &byte, 1, &count, nullptr) || count != 1)
        return -1;
    return byte;
}

} // namespace platform
