#include "logging/write_log.h"

#include "common/blocking.h"
#include "common/deadline.h"
#include "common/fixed_text.h"
#include "platform/file.h"
#include "startup/server_settings.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace {

// The rotated file's name: the log's path and ".old". LOGNAME holds at most 127
// bytes, so 255 and the terminator always hold it.
constexpr std::size_t rotated_name_size = 256;

// How long a record handed over may wait for others to share its flush, and how
// many records end that wait at once. Nobody is kept waiting by it: the reply
// is complete before its record is posted, and every wait for the disk, a
// writer's own or a worker's for a free slot, ends it (LogHurry).
constexpr auto gather_window = std::chrono::milliseconds(3);
constexpr std::size_t gather_limit = 64;

// A record posted and not yet on disk.
struct PendingRecord {
    const char* path;
    std::uint32_t switch_bytes;
    std::size_t length;
    std::array<char, log_record_size> text;
};

// Every writer of the log file in this process goes through this queue, the
// banners, the texts written before a fatal stop and the access lines alike.
// A record's place is fixed when it is posted; one writer at a time, the
// leader, then takes every record posted so far and writes them in that order
// with one open, write and flush per file, while later records gather for the
// next round. So a flush that costs a disk round trip is shared by everyone
// who posted during the previous one, and no record is lost to contention.
//
// A writer either waits for its record or hands over what is to happen once it
// is on disk (when_log_written) and goes on. Since a handed-over record has
// nobody waiting for it, the leader keeps writing rounds until nothing is
// pending, and while nobody waits it lets the records of a short window gather
// first: on a disk where a flush costs a round trip, one flush for many
// records is the difference.
struct LogQueue {
    std::mutex mutex;
    // Guarded by `mutex`: records [done, posted) are pending, those of the
    // leader's round first, then those in `waiting`.
    std::vector<PendingRecord> waiting;
    LogRecordNumber posted = 0;
    LogRecordNumber done = 0;
    bool leader_writing = false;
    // When the oldest record in `waiting` was posted.
    Deadline oldest_waiting = no_deadline;
    // Waits for the disk in progress; while there is one, nothing gathers.
    int hurry = 0;
    // The leader sleeps on it while records gather.
    std::condition_variable gathered;
    // Handed over and not yet run, in no particular order. Guarded by `mutex`.
    std::vector<std::pair<LogRecordNumber, LogCompletion>> handed_over;
    // The writer of record r sleeps on wake[r % wake_count], so that a round's
    // end wakes mostly those it concerns. The conditions live as long as the
    // process, so a leader may notify them after it has let go of `mutex`:
    // a woken writer then finds the mutex free instead of blocking on it.
    static constexpr std::size_t wake_count = 64;
    std::array<std::condition_variable, wake_count> wake;
    // Touched only by the leader of the moment; kept to reuse their room.
    std::vector<PendingRecord> round;
    std::vector<char> buffer;
    std::vector<std::pair<LogRecordNumber, LogCompletion>> due;
};

std::condition_variable& wake_of(LogQueue& queue, LogRecordNumber record) {
    return queue.wake[record % LogQueue::wake_count];
}

// Wakes the writers of records [first, done), now on disk. Called after the
// queue's mutex has been let go; every sleeper checks its own state again.
void wake_after_round(LogQueue& queue, LogRecordNumber first, LogRecordNumber done) {
    if (done - first >= LogQueue::wake_count) {
        for (auto& wake : queue.wake)
            wake.notify_all();
        return;
    }
    for (LogRecordNumber record = first; record < done; ++record)
        wake_of(queue, record).notify_all();
}

LogQueue& log_queue() {
    static LogQueue queue;
    return queue;
}

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

namespace {

bool same_file(const PendingRecord& first, const PendingRecord& next) {
    return first.switch_bytes == next.switch_bytes && std::strcmp(first.path, next.path) == 0;
}

// Writes `records` in their order. Records for one file share an open, one
// write and one flush, up to the record whose size before writing is over the
// limit: that record is the last one of the file, which is then rotated, so
// the files end exactly where record-by-record writing would have ended them.
void write_records(std::span<const PendingRecord> records, std::vector<char>& buffer) {
    std::size_t next = 0;
    while (next < records.size()) {
        const PendingRecord& first = records[next];
        platform::File file = platform::open_log_file(first.path);
        std::optional<std::uint64_t> size =
            file.valid() ? platform::seek_to_end(file) : std::nullopt;
        if (!size) {
            ++next; // dropped, as a record that finds no file is; the next one tries anew
            continue;
        }
        buffer.clear();
        bool rotate_after = false;
        // The size is compared in full: a log of 4 GiB or more taken as 32
        // bits would look small and never be rotated again.
        while (next < records.size() && same_file(first, records[next]) && !rotate_after) {
            const PendingRecord& record = records[next++];
            rotate_after = *size > record.switch_bytes;
            buffer.insert(buffer.end(), record.text.data(), record.text.data() + record.length);
            *size += record.length;
        }
        (void)platform::write_file(file, buffer);
        (void)platform::flush_file(file);
        file.close();
        if (rotate_after)
            rotate(first.path);
    }
}

} // namespace

LogRecordNumber post_log_to(const char* path, std::uint32_t switch_bytes,
                            std::string_view message) {
    LogQueue& queue = log_queue();
    std::lock_guard lock(queue.mutex);
    if (queue.waiting.empty())
        queue.oldest_waiting = Clock::now();
    PendingRecord& record = queue.waiting.emplace_back();
    record.path = path;
    record.switch_bytes = switch_bytes;
    // Stamped in the order of posting, so the stamps in the file never go
    // back; the write follows within one flush.
    record.length = format_log_record(record.text, platform::local_time(), message);
    if (queue.waiting.size() == gather_limit)
        queue.gathered.notify_one();
    return queue.posted++;
}

namespace {

void write_records(std::span<const PendingRecord> records, std::vector<char>& buffer);

// Runs the completions of records now on disk, those equal in both fields as
// one call.
void run_completions(std::vector<std::pair<LogRecordNumber, LogCompletion>>& due) {
    auto key = [](const std::pair<LogRecordNumber, LogCompletion>& entry) {
        return std::pair{reinterpret_cast<std::uintptr_t>(entry.second.run),
                         reinterpret_cast<std::uintptr_t>(entry.second.context)};
    };
    std::sort(due.begin(), due.end(),
              [&](const auto& a, const auto& b) { return key(a) < key(b); });
    for (std::size_t first = 0; first < due.size();) {
        std::size_t next = first + 1;
        while (next < due.size() && key(due[next]) == key(due[first]))
            ++next;
        const LogCompletion& completion = due[first].second;
        completion.run(completion.context, next - first);
        first = next;
    }
}

// Leads rounds until no record is pending. Called with `lock` held on the
// queue's mutex and no leader writing; returns with it held again.
void lead_rounds(LogQueue& queue, std::unique_lock<std::mutex>& lock) {
    queue.leader_writing = true;
    // The rounds wait for the disk. The hook may take other locks, so it runs
    // with the queue's mutex let go; nobody else leads meanwhile.
    lock.unlock();
    about_to_block();
    lock.lock();
    while (queue.posted > queue.done) {
        if (queue.hurry == 0 && queue.waiting.size() < gather_limit)
            queue.gathered.wait_until(lock, queue.oldest_waiting + gather_window, [&] {
                return queue.hurry > 0 || queue.waiting.size() >= gather_limit;
            });
        queue.round.clear();
        queue.round.swap(queue.waiting);
        lock.unlock();
        write_records(queue.round, queue.buffer);
        lock.lock();
        LogRecordNumber first = queue.done;
        queue.done += queue.round.size();
        LogRecordNumber done = queue.done;
        auto& handed_over = queue.handed_over;
        auto written = std::partition(handed_over.begin(), handed_over.end(),
                                      [&](const auto& entry) { return entry.first >= done; });
        queue.due.assign(written, handed_over.end());
        handed_over.erase(written, handed_over.end());
        lock.unlock();
        wake_after_round(queue, first, done);
        run_completions(queue.due);
        lock.lock();
    }
    queue.leader_writing = false;
}

} // namespace

void wait_for_log(LogRecordNumber record) {
    LogQueue& queue = log_queue();
    std::unique_lock lock(queue.mutex);
    if (queue.done > record)
        return;
    ++queue.hurry;
    queue.gathered.notify_one();
    while (queue.done <= record) {
        if (queue.leader_writing)
            wake_of(queue, record).wait(lock);
        else
            lead_rounds(queue, lock);
    }
    --queue.hurry;
}

LogHurry::LogHurry() {
    LogQueue& queue = log_queue();
    std::lock_guard lock(queue.mutex);
    ++queue.hurry;
    queue.gathered.notify_one();
}

LogHurry::~LogHurry() {
    LogQueue& queue = log_queue();
    std::lock_guard lock(queue.mutex);
    --queue.hurry;
}

void when_log_written(LogRecordNumber record, LogCompletion completion) {
    LogQueue& queue = log_queue();
    std::unique_lock lock(queue.mutex);
    if (queue.done > record) {
        lock.unlock();
        completion.run(completion.context, 1);
        return;
    }
    queue.handed_over.emplace_back(record, completion);
    if (!queue.leader_writing)
        lead_rounds(queue, lock);
}

void write_log_to(const char* path, std::uint32_t switch_bytes, std::string_view message) {
    wait_for_log(post_log_to(path, switch_bytes, message));
}

void write_log(std::string_view message) {
    const ServerSettings& settings = server_settings();
    write_log_to(settings.LOGNAME.data(), settings.log_switch_bytes, message);
}

LogRecordNumber post_log(std::string_view message) {
    const ServerSettings& settings = server_settings();
    return post_log_to(settings.LOGNAME.data(), settings.log_switch_bytes, message);
}
