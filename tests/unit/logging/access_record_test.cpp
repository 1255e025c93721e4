#include "logging/access_record.h"

#include "common/fixed_text.h"
#include "platform/log_mutex.h"
#include "request/request_context.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>

using namespace std::string_literals;

namespace {

const std::array<int, 4> client = {192, 168, 0, 5};
// アクセス許可されていません。 and クライアント側でキャンセルされました。 in Shift_JIS.
const std::string refused_text =
    "\x83\x41\x83\x4E\x83\x5A\x83\x58\x8B\x96\x89\xC2\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC"
    "\x82\xB9\x82\xF1\x81\x42";
const std::string cancelled_text =
    "\x83\x4E\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67\x91\xA4\x82\xC5\x83\x4C\x83\x83\x83\x93"
    "\x83\x5A\x83\x8B\x82\xB3\x82\xEA\x82\xDC\x82\xB5\x82\xBD\x81\x42";

// The pieces of a handled request, appended in the order the handler takes.
void compose_request(AccessRecord& record, std::string_view method, std::string_view local_path,
                     std::string_view url, std::string_view body, std::string_view query) {
    begin_request_line(record, client, method);
    append_client_text(record, local_path);
    append_text(record, "[");
    append_client_text(record, url);
    append_text(record, "] ");
    for (std::string_view data : {body, query}) {
        if (data.empty())
            continue;
        append_text(record, "Data:");
        append_client_text(record, data);
    }
}

std::string finish(const AccessRecord& record, std::string_view status) {
    std::array<char, access_line_limit + 1> line{};
    return std::string(finish_access_line(record, status, line));
}

struct LineCase {
    const char* name;
    std::function<void(AccessRecord&)> compose;
    std::string status;
    std::string line;
};

TEST(AccessLine, Cases) {
    const LineCase cases[] = {
        {"refused", [](AccessRecord& r) { begin_refused_line(r, client); }, "  ",
         "192.168.000.005 Info:" + refused_text + "  "},
        {"reset", [](AccessRecord& r) { begin_receive_failure_line(r, client, 10054); }, "",
         "192.168.000.005  Warning[10054]:" + cancelled_text},
        {"closed", [](AccessRecord& r) { begin_receive_failure_line(r, client, 0); }, "",
         "192.168.000.005  Warning[0]:" + cancelled_text},
        {"put", [](AccessRecord& r) { begin_method_refused_line(r, client, "PUT /x HTTP/1.0"); },
         "501 Not Implemented", "192.168.000.005 PUT  501 Not Implemented"},
        {"delete",
         [](AccessRecord& r) { begin_method_refused_line(r, client, "DELETE /x HTTP/1.0"); },
         "501 Not Implemented", "192.168.000.005 DELE 501 Not Implemented"},
        {"line_ends_before_method",
         [](AccessRecord& r) { begin_method_refused_line(r, client, "\r\nPUT /x HTTP/1.0"); },
         "501 Not Implemented", "192.168.000.005 %0D%0APU 501 Not Implemented"},
        {"head_shorter_than_four_bytes",
         [](AccessRecord& r) { begin_method_refused_line(r, client, "GE\0T /"s); },
         "501 Not Implemented", "192.168.000.005   GE 501 Not Implemented"},
        {"get_with_query",
         [](AccessRecord& r) {
             compose_request(r, "GET", "D:\\www\\index.html", "/index.html", "", "a=1");
         },
         "", "192.168.000.005  GET D:\\www\\index.html[/index.html] Data:a=1"},
        {"post_body_before_query",
         [](AccessRecord& r) {
             compose_request(r, "POST", "D:\\www\\prog.cgi", "/prog.cgi", "y=2", "x=1");
         },
         "", "192.168.000.005 POST D:\\www\\prog.cgi[/prog.cgi] Data:y=2Data:x=1"},
        {"no_data_ends_in_bracket_and_space",
         [](AccessRecord& r) { compose_request(r, "GET", "D:\\www\\a", "/a", "", ""); }, "",
         "192.168.000.005  GET D:\\www\\a[/a] "},
        {"missing_file",
         [](AccessRecord& r) {
             compose_request(r, "GET", "D:\\www\\missing.html", "/missing.html", "", "");
         },
         "404 Not Found",
         "192.168.000.005  GET D:\\www\\missing.html[/missing.html] 404 Not Found"},
        {"client_control_bytes_escaped",
         [](AccessRecord& r) {
             compose_request(r, "G\x01T", "D:\\www\\a", "/a", "", "l1\r\nl2\0\x7f\x1b"s);
         },
         "", "192.168.000.005  G%01T D:\\www\\a[/a] Data:l1%0D%0Al2%00%7F%1B"},
        {"client_high_bytes_and_percent_pass",
         [](AccessRecord& r) {
             compose_request(r, "GET", "D:\\www\\a", "/a", "", "\x83\x41\x80\xff%41");
         },
         "", "192.168.000.005  GET D:\\www\\a[/a] Data:\x83\x41\x80\xff%41"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRecord record;
        // Each beginning replaces what an earlier line left.
        append_text(record, "stale");
        c.compose(record);
        EXPECT_EQ(finish(record, c.status), c.line);
    }
}

TEST(AccessLine, LongLineIsCutBeforeItsStatus) {
    AccessRecord record;
    compose_request(record, "GET", "D:\\www\\a", "/a", std::string(100, 'b'),
                    std::string(2000, 'q'));
    std::string line = finish(record, "404 Not Found");
    ASSERT_EQ(line.size(), access_line_limit);
    EXPECT_EQ(line.substr(0, 40), "192.168.000.005  GET D:\\www\\a[/a] Data:b");
    EXPECT_EQ(line.substr(line.size() - 14), "q404 Not Found");
}

struct CutCase {
    const char* name;
    std::string unit;     // bytes that must stay together
    std::size_t position; // where the unit starts in the line
    std::string status;
    std::size_t length; // of the whole line, status included
};

// The unit is placed at `position` behind filler, followed by more filler, and
// the line is cut: either the whole unit stays or none of it.
TEST(AccessLine, CutNeverSplitsAnEscapeOrAPair) {
    const CutCase cases[] = {
        {"escape_just_fits", "\x01", 1020, "", 1023},
        {"escape_would_lose_two", "\x01", 1021, "", 1021},
        {"escape_would_lose_one", "\x01", 1022, "", 1022},
        {"escape_before_status", "\x01", 1008, "404 Not Found", 1021},
        {"pair_just_fits", "\x83\x41", 1021, "", 1023},
        {"pair_would_lose_trail", "\x83\x41", 1022, "", 1022},
        {"pair_before_status", "\x83\x41", 1009, "404 Not Found", 1022},
        {"escape_behind_stray_lead_byte", "\x81\x01", 1020, "", 1021},
    };
    const std::string prefix = "192.168.000.005  GET ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AccessRecord record;
        begin_request_line(record, client, "GET");
        append_client_text(record, std::string(c.position - prefix.size(), 'a'));
        append_client_text(record, c.unit);
        append_client_text(record, std::string(50, 'z'));
        std::string line = finish(record, c.status);
        EXPECT_EQ(line.size(), c.length);
        EXPECT_EQ(line.substr(line.size() - c.status.size()), c.status);
    }
}

// Pairs whose trail byte is also a lead byte: only a walk from the start of
// the line knows which byte of the last pair is which.
TEST(AccessLine, CutKnowsLeadBytesFromTheStart) {
    AccessRecord record;
    begin_request_line(record, client, "GET"); // 21 bytes, so pairs start at odd offsets
    std::string pairs;
    for (int i = 0; i < 600; ++i)
        pairs += "\x81\x81";
    append_client_text(record, pairs);
    std::string line = finish(record, "404 Not Found");
    EXPECT_EQ(line.size(), 1009 + std::string_view("404 Not Found").size());
    EXPECT_EQ((line.size() - 13 - 21) % 2, 0u);
}

TEST(AccessLine, ComposingNeverOverrunsTheRecord) {
    AccessRecord record;
    begin_request_line(record, client, "GET");
    for (int i = 0; i < 10; ++i)
        append_client_text(record, std::string(1023, '\x01'));
    EXPECT_LT(record.length, record.text.size());
    EXPECT_EQ(record.text[record.length], '\0');
    // 21 bytes of beginning and 334 escapes fill the line exactly.
    EXPECT_EQ(finish(record, "").size(), access_line_limit);
}

// A handler that leaves the closing step still holding the log mutex would
// stop every later line; the check runs on another thread so that it cannot
// hang the test run.
bool log_mutex_is_free() {
    auto attempt = std::async(std::launch::async, [] {
        platform::LogMutexHandle mutex = platform::LogMutexHandle::open();
        bool acquired = mutex.lock() == platform::LockResult::acquired;
        if (acquired)
            mutex.unlock();
        return acquired;
    });
    if (attempt.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the log mutex is still held";
        std::abort();
    }
    return attempt.get();
}

TEST(WriteAccessRecord, ReleasesTheLogMutex) {
    platform::LogMutexHandle kept_alive = platform::LogMutexHandle::create();
    ASSERT_TRUE(kept_alive.valid());
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled);
        ConnectionTicket ticket;
        ticket.cancelled = cancelled;
        auto context = std::make_unique<RequestContext>(ticket);
        begin_refused_line(context->access_record, client);
        (void)copy_into(context->status_text, "  ");
        write_access_record(*context);
        EXPECT_TRUE(log_mutex_is_free());
        EXPECT_EQ(ticket.access_record.has_value(), !cancelled);
        if (ticket.access_record)
            wait_for_log(*ticket.access_record);
    }
}

} // namespace
