// FIXME: stub until this piece is built.
#include "platform/console.h"

namespace platform {
void console_write(std::string_view) {}
void error_write(std::string_view) {}
int console_read_char() { return -1; }
} // namespace platform
