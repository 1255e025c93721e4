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

// The place of a record in the log's order, given when it is posted.
using LogRecordNumber = std::uint64_t;

// Appends one time-stamped record to the log file `path`, flushed to disk
// before it returns, and then renames the file to `path`.old when its size
// before writing was greater than `switch_bytes`. All writers of the process
// are serialised, so no record is lost to contention; records written at the
// same time share one open, write and flush.
void write_log_to(const char* path, std::uint32_t switch_bytes, std::string_view message);

// The two halves of write_log_to, for a caller that fixes the order of its
// records under a lock of its own but should not hold that lock while the disk
// flushes: post_log_to stamps the record and gives it its place, and
// wait_for_log returns once that record is on disk (or dropped, as write_log_to
// would drop it). `path` must stay valid until the record is written.
LogRecordNumber post_log_to(const char* path, std::uint32_t switch_bytes, std::string_view message);
void wait_for_log(LogRecordNumber record);

// What is to happen once a record is on disk. Completions equal in both
// fields that fall due together run as one call, `count` being how many.
struct LogCompletion {
    void (*run)(void* context, std::size_t count) = nullptr;
    void* context = nullptr;
};

// In place of wait_for_log: `completion` runs once `record` is on disk (or
// dropped), on this thread at once when it already is, else on the thread that
// writes it. When no round is being written, this thread writes every pending
// record first, letting them gather for a few milliseconds. The completion must not write to the log or wait for a lock
// that anyone holds while writing to it.
void when_log_written(LogRecordNumber record, LogCompletion completion);

// Records handed over may wait a few milliseconds for others to share their
// flush. While a LogHurry lives, they do not: for someone who waits for a
// worker's end, as wait_for_log does for its own record.
class LogHurry {
public:
    LogHurry();
    ~LogHurry();
    LogHurry(const LogHurry&) = delete;
    LogHurry& operator=(const LogHurry&) = delete;
};

// write_log_to and post_log_to with LOGNAME and the rotation limit of the
// process's settings.
void write_log(std::string_view message);
LogRecordNumber post_log(std::string_view message);
