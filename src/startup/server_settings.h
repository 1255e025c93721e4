#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Storage of the text settings: 127 bytes and the terminator; a longer value is
// cut to 127.
inline constexpr std::size_t setting_text_size = 128;
// The address prefixes are read with a limit of 79 bytes: 78 and the terminator.
inline constexpr std::size_t address_prefix_size = 79;

// The eleven values of the settings file. Filled once by the main routine before
// any other thread exists, and only read afterwards, so no lock guards them.
struct ServerSettings {
    std::array<char, setting_text_size> WEBROOT{};
    std::array<char, setting_text_size> WEBCGI{};
    std::array<char, setting_text_size> CGINAME{};
    std::array<char, setting_text_size> CGIDIR{};
    std::int32_t HTTPPORT = 8080;
    std::int32_t CGITIMEOUT = 60;
    std::int32_t MAXTHREAD = 10;
    std::array<char, setting_text_size> LOGNAME{};
    std::uint32_t log_switch_bytes = 0; // LOGSWITCH x 1,048,576 in 32 bits
    std::array<char, address_prefix_size> ACCEPTIP_INNER{};
    std::array<char, address_prefix_size> ACCEPTIP_OUTER{};
};

// The settings with every default of this platform.
ServerSettings default_settings();

// Reads the settings from the INI text `contents` (the whole file); keys that
// are missing keep their defaults.
ServerSettings parse_settings(std::string_view contents);

// Reads the settings file at `path`; a missing file gives the defaults.
ServerSettings read_settings_file(const char* path);

// The process-wide settings.
const ServerSettings& server_settings();
// Replaces the process-wide settings; only before any other thread exists.
void install_settings(const ServerSettings& settings);

// The TCP port: the low 16 bits of HTTPPORT.
inline std::uint16_t listening_port(const ServerSettings& settings) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(settings.HTTPPORT) & 0xFFFFu);
}

// CGITIMEOUT x 1000 and x 2000 in milliseconds, clamped to 2,147,483,647.
std::int64_t cgi_time_limit_ms(const ServerSettings& settings);
std::int64_t handler_time_limit_ms(const ServerSettings& settings);
