#pragma once

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Room for the longest message a record holds: an access line of 1023 bytes.
inline constexpr std::size_t log_message_limit = 1023;
// "%4d/%02d/%02d %02d:%02d:%02d.%03d " takes 24 bytes for years up to 9999.
inline constexpr std::size_t log_record_size = 24 + log_message_limit + 2 + 1;

// Formats one record, "%4d/%02d/%02d %02d:%02d:%02d.%03d %s\r\n", into
// `record`. Returns its length without the terminator. A message longer than
// log_message_limit is cut.
std::size_t format_log_record(std::span<char> record, const platform::LocalTime& time,
                              std::string_view message);

// Appends one time-stamped record to the log file `path`, flushed to disk
// before it returns, and then renames the file to `path`.old when its size
// before writing was greater than `switch_bytes`. All writers of the process
// are serialised, so no record is lost to contention.
void write_log_to(const char* path, std::uint32_t switch_bytes, std::string_view message);

// write_log_to with LOGNAME and the rotation limit of the process's settings.
void write_log(std::string_view message);
