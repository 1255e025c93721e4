#pragma once

// The console: standard output for the operator's texts, standard error for
// the start-up failure, standard input for the operator's 'q'.

#include <string_view>

namespace platform {

// Writes `text` to standard output at once, whatever standard output is (a
// terminal, a pipe, a file): the process can be ended at any moment, so no
// text is ever held back in a buffer.
void console_write(std::string_view text);
// The same for standard error.
void error_write(std::string_view text);
// Reads one byte from standard input. Returns it (0 to 255), or -1 at end of
// input or on failure.
int console_read_char();

} // namespace platform
