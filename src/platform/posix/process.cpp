// FIXME: stub until this piece is built.
#include "platform/process.h"

#include <cstdlib>
namespace platform {
bool prepare_process() { return true; }
void exit_process(int code) { std::_Exit(code); }
std::optional<std::string> service_image_path() { return {}; }
bool current_directory(std::span<char>) { return false; }
} // namespace platform
