#include "logging/write_log.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct RecordCase {
    const char* name;
    platform::LocalTime time;
    std::string message;
    std::string expected;
};

constexpr platform::LocalTime march_fifth{2024, 3, 5, 7, 8, 9, 10};

const RecordCase record_cases[] = {
    {"example", march_fifth, "abc", "2024/03/05 07:08:09.010 abc\r\n"},
    {"empty_message", march_fifth, "", "2024/03/05 07:08:09.010 \r\n"},
    {"own_line_feed", march_fifth, "banner\n", "2024/03/05 07:08:09.010 banner\n\r\n"},
    {"year_right_aligned", {999, 12, 31, 23, 59, 59, 999}, "x", " 999/12/31 23:59:59.999 x\r\n"},
    {"shift_jis_unchanged", march_fifth, "\x8B\x4E\x93\xAE",
     "2024/03/05 07:08:09.010 \x8B\x4E\x93\xAE\r\n"},
    {"ends_at_nul", march_fifth, std::string("ab\0cd", 5), "2024/03/05 07:08:09.010 ab\r\n"},
    {"longest_message_whole", march_fifth, std::string(1023, 'm'),
     "2024/03/05 07:08:09.010 " + std::string(1023, 'm') + "\r\n"},
    {"longer_message_cut", march_fifth, std::string(1024, 'm'),
     "2024/03/05 07:08:09.010 " + std::string(1023, 'm') + "\r\n"},
};

TEST(FormatLogRecord, Cases) {
    for (const auto& c : record_cases) {
        SCOPED_TRACE(c.name);
        std::array<char, log_record_size> record{};
        std::size_t length = format_log_record(record, c.time, c.message);
        EXPECT_EQ(std::string(record.data(), length), c.expected);
        EXPECT_EQ(record[length], '\0');
    }
}

TEST(FormatLogRecord, SmallAreaKeepsLineEnd) {
    std::array<char, 30> record{};
    std::size_t length = format_log_record(record, march_fifth, "abcdefghij");
    EXPECT_EQ(std::string(record.data(), length), "2024/03/05 07:08:09.010 abc\r\n");
}

class WriteLog : public ::testing::Test {
protected:
    void SetUp() override {
        // Every record is flushed to disk; on a memory file system that costs
        // nothing, which keeps the contention test quick.
        std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        pattern += "/write_log_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        log_ = (directory_ / "httpd.log").string();
        old_ = log_ + ".old";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    static std::string contents(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    static void fill(const std::string& path, std::size_t size) {
        std::ofstream(path, std::ios::binary) << std::string(size, 'f');
    }
    // The messages of the records in `text`, their time stamps checked by shape.
    static std::vector<std::string> messages(const std::string& text) {
        static const std::regex record(R"((\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}) ([^\r]*)\r\n)");
        std::vector<std::string> found;
        std::size_t matched = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), record);
             it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(static_cast<std::size_t>(it->position()), matched) << "stray bytes";
            matched += it->length();
            found.push_back((*it)[2]);
        }
        EXPECT_EQ(matched, text.size()) << "stray bytes at the end";
        return found;
    }

    std::filesystem::path directory_;
    std::string log_;
    std::string old_;
};

TEST_F(WriteLog, FirstRecordCreatesFile) {
    write_log_to(log_.c_str(), 0, "abc");
    EXPECT_EQ(messages(contents(log_)), std::vector<std::string>{"abc"});
    EXPECT_EQ(std::filesystem::status(log_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

TEST_F(WriteLog, MissingDirectoryDropsRecord) {
    std::string path = (directory_ / "missing" / "httpd.log").string();
    write_log_to(path.c_str(), 0, "abc");
    EXPECT_FALSE(std::filesystem::exists(directory_ / "missing"));
}

struct RotationCase {
    const char* name;
    std::size_t size_before;
    bool rotated;
};

constexpr std::uint32_t limit = 100;
constexpr RotationCase rotation_cases[] = {
    {"below_limit", limit - 1, false},
    {"at_limit_kept", limit, false},
    {"over_limit_rotated", limit + 1, true},
};

TEST_F(WriteLog, RotationAfterAppend) {
    for (const auto& c : rotation_cases) {
        SCOPED_TRACE(c.name);
        fill(log_, c.size_before);
        std::ofstream(old_, std::ios::binary) << "older rotation\r\n";

        write_log_to(log_.c_str(), limit, "next");

        std::string expected_tail = " next\r\n";
        std::string kept = contents(c.rotated ? old_ : log_);
        EXPECT_EQ(kept.size(), c.size_before + 24 + 6);
        EXPECT_EQ(kept.substr(0, c.size_before), std::string(c.size_before, 'f'));
        EXPECT_TRUE(kept.ends_with(expected_tail));
        EXPECT_EQ(std::filesystem::exists(log_), !c.rotated);
        if (!c.rotated) {
            EXPECT_EQ(contents(old_), "older rotation\r\n");
        }
        std::filesystem::remove(log_);
    }
}

TEST_F(WriteLog, LimitZeroRotatesEverySecondRecord) {
    for (const char* message : {"r1", "r2", "r3", "r4"})
        write_log_to(log_.c_str(), 0, message);
    EXPECT_FALSE(std::filesystem::exists(log_));
    EXPECT_EQ(messages(contents(old_)), (std::vector<std::string>{"r3", "r4"}));
}

// Records posted before anyone waits are written in one round: the round must
// still end each file exactly where writing them one by one would have.
struct GroupCase {
    const char* name;
    std::size_t size_before; // of an existing log; 0 for none
    std::uint32_t limit;
    std::vector<std::string> posted;
    std::vector<std::string> rotated_messages;
    std::vector<std::string> log_messages;
};

TEST_F(WriteLog, RecordsWrittenTogetherRotateWhereOneByOneWould) {
    const GroupCase cases[] = {
        {"limit_zero_pairs", 0, 0, {"r1", "r2", "r3", "r4", "r5"}, {"r3", "r4"}, {"r5"}},
        {"first_record_closes_full_file", limit + 1, limit, {"a", "b", "c"}, {"a"}, {"b", "c"}},
        {"no_rotation", 0, limit, {"a", "b"}, {}, {"a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(log_);
        std::filesystem::remove(old_);
        if (c.size_before > 0)
            std::ofstream(log_, std::ios::binary)
                << "2024/03/05 07:08:09.010 " << std::string(c.size_before - 26, 'f') << "\r\n";

        std::vector<LogRecordNumber> numbers;
        for (const std::string& message : c.posted)
            numbers.push_back(post_log_to(log_.c_str(), c.limit, message));
        wait_for_log(numbers.back());

        std::vector<std::string> rotated = messages(contents(old_));
        if (c.size_before > 0 && !c.rotated_messages.empty())
            rotated.erase(rotated.begin()); // the filler record
        EXPECT_EQ(rotated, c.rotated_messages);
        EXPECT_EQ(messages(contents(log_)), c.log_messages);
        for (LogRecordNumber number : numbers)
            wait_for_log(number); // long done: returns at once
    }
}

TEST_F(WriteLog, NoRecordLostToContention) {
    constexpr int writers = 8;
    constexpr int records_each = 200;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([this, w] {
            for (int r = 0; r < records_each; ++r)
                write_log_to(log_.c_str(), 0xFFFFFFFFu,
                             "writer " + std::to_string(w) + " record " + std::to_string(r));
        });
    for (auto& thread : threads)
        thread.join();

    std::vector<std::string> found = messages(contents(log_));
    ASSERT_EQ(found.size(), static_cast<std::size_t>(writers * records_each));
    // Each writer's records arrive whole and in the order it wrote them.
    std::vector<int> next(writers, 0);
    for (const std::string& message : found) {
        int w = 0, r = 0;
        ASSERT_EQ(std::sscanf(message.c_str(), "writer %d record %d", &w, &r), 2) << message;
        EXPECT_EQ(r, next[w]++);
    }
}

// Writers that hand their records over and never wait: every completion runs
// exactly once, and only when its record is in the file.
TEST_F(WriteLog, HandedOverRecordsCompleteOnceOnDisk) {
    constexpr int writers = 6;
    constexpr int records_each = 150;
    struct Completion {
        const std::string* log = nullptr;
        std::string message;
        std::atomic<int> runs{0};
        std::atomic<bool> was_on_disk{false};
    };
    std::vector<Completion> completions(writers * records_each);
    auto complete = [](void* context, std::size_t count) {
        auto& completion = *static_cast<Completion*>(context);
        completion.was_on_disk = contents(*completion.log).find(completion.message) != std::string::npos;
        completion.runs += static_cast<int>(count);
    };
    // One completion handed over with every record: runs that fall due
    // together come as one call that counts them.
    std::atomic<std::size_t> counted{0};
    auto add = [](void* context, std::size_t count) {
        *static_cast<std::atomic<std::size_t>*>(context) += count;
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            for (int r = 0; r < records_each; ++r) {
                Completion& completion = completions[w * records_each + r];
                completion.log = &log_;
                completion.message = "writer " + std::to_string(w) + " record " + std::to_string(r);
                LogRecordNumber number = post_log_to(log_.c_str(), 0xFFFFFFFFu, completion.message);
                when_log_written(number, {complete, &completion});
                when_log_written(number, {add, &counted});
            }
        });
    for (auto& thread : threads)
        thread.join();
    // Each writer led whatever round it found unled, so nothing is left
    // pending once they have all returned.
    for (const Completion& completion : completions) {
        SCOPED_TRACE(completion.message);
        EXPECT_EQ(completion.runs.load(), 1);
        EXPECT_TRUE(completion.was_on_disk.load());
    }
    EXPECT_EQ(messages(contents(log_)).size(), completions.size());
    EXPECT_EQ(counted.load(), completions.size());

    // A record long on disk completes at once, on the caller's thread.
    LogRecordNumber number = post_log_to(log_.c_str(), 0xFFFFFFFFu, "late");
    wait_for_log(number);
    Completion late;
    late.log = &log_;
    late.message = "late";
    when_log_written(number, {complete, &late});
    EXPECT_EQ(late.runs.load(), 1);
    EXPECT_TRUE(late.was_on_disk.load());
}

} // namespace
