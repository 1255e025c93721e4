#pragma once

// Process-wide set-up and ending.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform {

// Sets the process up for serving: a send to a closed connection must never end
// it. Returns false when that cannot be done.
bool prepare_process();

// Ends the process at once with `code`. Standard output and the log are written
// through already, so nothing is lost.
[[noreturn]] void exit_process(int code);

// The executable path registered for the service, when the server is
// registered as one; nothing where the platform has no service registry.
std::optional<std::string> service_image_path();

// Writes the current working directory, terminated, into `directory`. Returns
// false when it does not fit or cannot be obtained.
bool current_directory(std::span<char> directory);

} // namespace platform
