#include "logging/write_log.h"

#include "common/fixed_text.h"
#include "platform/file.h"
#include "startup/server_settings.h"

#include <array>
#include <cstring>
#include <mutex>

namespace {

// The rotated file's name: the log's path and ".old". LOGNAME holds at most 127
// bytes, so 255 and the terminator always hold it.
constexpr std::size_t rotated_name_size = 256;

// Every writer of the log file in this process takes this lock for the whole
// record, rotation included: the banners, the texts written before a fatal
// stop and the access lines alike. Without it two writers could meet on the
// file and one record would be lost or the rotation would split a pair.
std::mutex log_writers;

void rotate(const char* path) {
    std::array<char, rotated_name_size> rotated_name{};
    // A cut name would rename the log onto some other file; keep it growing
    // instead.
    if (!format_into(rotated_name, "%s.old", path))
        return;
    // The rename does not replace an existing file on every platform.
    (void)platform::remove_file(rotated_name.data());
    (void)platform::rename_file(path, rotated_name.data());
}

} // namespace

std::size_t format_log_record(std::span<char> record, const platform::LocalTime& time,
                              std::string_view message) {
    constexpr std::string_view line_end = "\r\n";
    if (record.empty())
        return 0;
    (void)format_into(record, "%4d/%02d/%02d %02d:%02d:%02d.%03d ", time.year, time.month, time.day,
                      time.hour, time.minute, time.second, time.millisecond);
    std::size_t length = text_of(record).size();

    // The message is a text: like the record's "%s", it ends at its first NUL.
    if (const void* nul = std::memchr(message.data(), '\0', message.size()))
        message = message.substr(0, static_cast<const char*>(nul) - message.data());
    if (message.size() > log_message_limit)
        message = message.substr(0, log_message_limit);
    // Cut the message, never the line end, when the area is smaller than a
    // full record.
    std::size_t room = record.size() - 1 - length;
    if (room < line_end.size())
        return length;
    if (message.size() > room - line_end.size())
        message = message.substr(0, room - line_end.size());

    std::memcpy(record.data() + length, message.data(), message.size());
    length += message.size();
    std::memcpy(record.data() + length, line_end.data(), line_end.size());
    length += line_end.size();
    record[length] = '\0';
    return length;
}

void write_log_to(const char* path, std::uint32_t switch_bytes, std::string_view message) {
    std::array<char, log_record_size> record{};
    std::lock_guard<std::mutex> lock(log_writers);

    platform::File file = platform::open_log_file(path);
    if (!file.valid())
        return;
    // The stamp is the moment of writing, taken once the file is ours.
    std::size_t length = format_log_record(record, platform::local_time(), message);
    std::optional<std::uint64_t> size_before = platform::seek_to_end(file);
    if (!size_before)
        return;
    (void)platform::write_file(file, std::span<const char>(record.data(), length));
    (void)platform::flush_file(file);
    file.close();

    // The size is compared in full: a log of 4 GiB or more taken as 32 bits
    // would look small and never be rotated again.
    if (*size_before > switch_bytes)
        rotate(path);
}

void write_log(std::string_view message) {
    const ServerSettings& settings = server_settings();
    write_log_to(settings.LOGNAME.data(), settings.log_switch_bytes, message);
}
