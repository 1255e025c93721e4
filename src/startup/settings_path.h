#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// The settings file's full path: 511 bytes and the terminator. A directory too
// long for it leaves the server on its defaults, never on a cut path.
inline constexpr std::size_t settings_path_size = 512;
// The current directory, when it stands in for the service's: 255 bytes and
// the terminator.
inline constexpr std::size_t settings_directory_size = 256;

// Writes `directory`, `separator` and "vostrel.ini" into `settings_path`.
// Returns false when they do not fit.
bool compose_settings_path(std::span<char> settings_path, std::string_view directory,
                           char separator);

// The same for the directory of a service's registered executable
// `image_path`: the text before its last backslash, or the whole text when it
// has none. A path that begins with '"' loses that quote and its partner before
// the cut, so a quoted path with blanks in it names its own directory.
bool compose_service_settings_path(std::span<char> settings_path, std::string_view image_path,
                                   char separator);
