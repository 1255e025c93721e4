// FIXME: stub until this piece is built.
#include "platform/file.h"

namespace platform {
File& File::operator=(File&& other) noexcept { if (this != &other) { close(); handle_ = other.release(); } return *this; }
std::intptr_t File::release() { auto h = handle_; handle_ = invalid_handle; return h; }
void File::close() { handle_ = invalid_handle; }
File open_log_file(const char*) { return {}; }
std::optional<std::uint64_t> seek_to_end(File&) { return {}; }
bool write_file(File&, std::span<const char>) { return false; }
bool flush_file(File&) { return false; }
bool remove_file(const char*) { return false; }
bool rename_file(const char*, const char*) { return false; }
bool path_exists(const char*) { return false; }
} // namespace platform
