#include "cgi/environment_list.h"

#include "common/fixed_text.h"
#include "dispatch/listener.h"
#include "request/request_context.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

std::vector<std::string> entries_of(const EnvironmentList& list) {
    return {list.entries().begin(), list.entries().end()};
}

std::string block_of(const EnvironmentList& list) {
    std::unique_ptr<char[]> block = list.build_block();
    if (!block)
        return "(no block)";
    return std::string(block.get(), static_cast<std::size_t>(list.block_size()));
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

struct CompareCase {
    const char* name;
    std::string_view left;
    std::string_view right;
    int expected; // sign
};

const CompareCase compare_cases[] = {
    {"case_ignored", "A=b", "a=B", 0},
    {"equals_before_underscore", "X=1", "X_Y=2", -1},
    {"underscore_before_letter", "X_=2", "XA=1", -1},
    {"shorter_text_first", "PATH", "PATH=", -1},
    {"single_bytes_unsigned", "\x80", "\x7F", 1},
    {"half_width_katakana_after_letters", "\xA1", "z", 1},
    {"full_width_letters_as_upper_case", "\x82\x81", "\x82\x60", 0},
    {"full_width_z", "\x82\x9A", "\x82\x79", 0},
    {"past_full_width_z_not_folded", "\x82\x9B", "\x82\x7A", 1},
    // The second byte of a pair is no letter, so it is not folded.
    {"trail_byte_not_folded", "\x81\x61", "\x81\x41", 1},
    {"pair_compares_as_16_bits", "\x81\x40", "\xA1", 1},
    {"last_lead_byte_range", "\xFD", "\xFC\x40", -1},
    {"lead_byte_at_end_is_end", "ab\x81", "ab", 0},
    {"lead_byte_at_end_before_pair", "ab\x81", "ab\x81\x40", -1},
    {"empty_texts", "", "", 0},
};

TEST(CompareEntries, Cases) {
    for (const auto& c : compare_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sign(compare_entries(c.left, c.right)), c.expected);
        EXPECT_EQ(sign(compare_entries(c.right, c.left)), -c.expected);
    }
}

struct OrderCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> added;
    std::vector<std::string> expected;
};

TEST(EnvironmentList, KeepsEntriesSorted) {
    const OrderCase cases[] = {
        {"equal_entries_keep_order", {{"A", "b"}, {"a", "B"}}, {"A=b", "a=B"}},
        {"equal_entries_keep_order_reversed", {{"a", "B"}, {"A", "b"}}, {"a=B", "A=b"}},
        {"equals_sign_sorts_first", {{"X_Y", "2"}, {"X", "1"}}, {"X=1", "X_Y=2"}},
        {"underscore_sorts_before_letter", {{"XA", "1"}, {"X_", "2"}}, {"X_=2", "XA=1"}},
        {"inserted_between",
         {{"C", "3"}, {"A", "1"}, {"B", "2"}, {"a", "1"}},
         {"A=1", "a=1", "B=2", "C=3"}},
        {"unvalidated_texts", {{"", ""}, {"N=M", "v"}}, {"=", "N=M=v"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvironmentList list;
        for (const auto& [name, value] : c.added)
            list.add_entry(name, value);
        EXPECT_EQ(entries_of(list), c.expected);
    }
}

TEST(EnvironmentList, LaysOutBlock) {
    EnvironmentList empty;
    EXPECT_EQ(empty.block_size(), 2);
    EXPECT_EQ(block_of(empty), "\0\0"s);

    EnvironmentList one;
    one.add_entry("GATEWAY_INTERFACE", "CGI/1.1");
    EXPECT_EQ(one.entries().front().size(), 25u);
    EXPECT_EQ(one.block_size(), 28);
    EXPECT_EQ(block_of(one), "GATEWAY_INTERFACE=CGI/1.1\0\0\0"s);

    EnvironmentList two;
    two.add_entry("a", "B");
    two.add_entry("A", "b");
    two.add_entry("PATH", "");
    EXPECT_EQ(block_of(two), "a=B\0A=b\0PATH=\0\0\0"s);
    // Building leaves the list as it was, so it builds the same block again.
    EXPECT_EQ(block_of(two), "a=B\0A=b\0PATH=\0\0\0"s);
}

// Sets or removes one variable of the process environment for a test's run.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvironmentOverride() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct VariablesCase {
    const char* name;
    std::string_view method;
    std::string_view protocol;
    std::string_view query;
    std::string_view decoded_body;
    int free_slots;
    const char* path; // nullptr: absent
    const char* system_root;
    std::vector<std::string> expected_without_server_name;
};

TEST(CollectCgiVariables, AddsTheTenVariables) {
    const std::string server = "SERVER_SOFTWARE=Tevrano-Brakka-WWWServer1.2";
    const VariablesCase cases[] = {
        {"get_without_body",
         "GET",
         "HTTP/1.0",
         "",
         "",
         7,
         "/bin:/usr/bin",
         nullptr,
         {"GATEWAY_INTERFACE=CGI/1.1", "HTTP_THREAD_COUNT=7", "PATH=/bin:/usr/bin", "QUERY_STRING=",
          "REQUEST_METHOD=GET", "SERVER_PROTOCOL=HTTP/1.0", server, "SystemRoot="}},
        {"post_with_decoded_body",
         "POST",
         "HTTP/1.1",
         "a=\x82\xA0",
         "name=\x82\xA0",
         0,
         nullptr,
         "C:\\WINDOWS",
         {"CONTENT_LENGTH=7", "GATEWAY_INTERFACE=CGI/1.1", "HTTP_THREAD_COUNT=0",
          "PATH=", "QUERY_STRING=a=\x82\xA0", "REQUEST_METHOD=POST", "SERVER_PROTOCOL=HTTP/1.0",
          server, "SystemRoot=C:\\WINDOWS"}},
        {"negative_count",
         "GET",
         "",
         "",
         "x",
         -1,
         "",
         "",
         {"CONTENT_LENGTH=1", "GATEWAY_INTERFACE=CGI/1.1", "HTTP_THREAD_COUNT=-1",
          "PATH=", "QUERY_STRING=", "REQUEST_METHOD=GET", "SERVER_PROTOCOL=HTTP/1.0", server,
          "SystemRoot="}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvironmentOverride path("PATH", c.path);
        EnvironmentOverride system_root("SystemRoot", c.system_root);
        ConnectionTicket ticket;
        ticket.free_slots_at_start = c.free_slots;
        RequestContext context(ticket);
        copy_into(context.method, c.method);
        copy_into(context.protocol, c.protocol);
        copy_into(context.query, c.query);
        copy_into(context.decoded_body, c.decoded_body);
        EnvironmentList list;

        collect_cgi_variables(context, list);

        // SERVER_NAME sorts just before SERVER_PROTOCOL.
        std::vector<std::string> expected = c.expected_without_server_name;
        auto protocol = expected.end() - 3;
        expected.insert(protocol, "SERVER_NAME=" + std::string(text_of(host_name())));
        EXPECT_EQ(entries_of(list), expected);
        int size = 2;
        for (const std::string& entry : expected)
            size += static_cast<int>(entry.size()) + 1;
        EXPECT_EQ(list.block_size(), size);
    }
}

} // namespace
