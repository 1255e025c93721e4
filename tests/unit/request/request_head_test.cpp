#include "request/request_head.h"

#include "common/fixed_text.h"
#include "request/request_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

struct AddressCase {
    const char* name;
    std::string_view peer;
    std::string_view prefix;
    bool admitted;
};
constexpr AddressCase address_cases[] = {
    {"default_admits_itself", "127.0.0.1", "127.0.0.1", true},
    {"default_admits_two_digit_tail", "127.0.0.15", "127.0.0.1", true},
    {"default_admits_three_digit_tail", "127.0.0.150", "127.0.0.1", true},
    {"default_refuses_other_host", "127.0.0.2", "127.0.0.1", false},
    {"default_refuses_other_net", "10.0.0.1", "127.0.0.1", false},
    {"network_prefix_admits", "192.168.0.5", "192.168.", true},
    {"network_prefix_refuses", "172.16.0.1", "192.168.", false},
    {"short_prefix_admits", "10.20.30.40", "10.", true},
    {"prefix_is_text_not_octet", "110.1.2.3", "10.", false},
    {"empty_prefix_admits_all", "172.16.0.1", "", true},
    {"longer_prefix_never_matches", "127.0.0.1", "127.0.0.10", false},
    {"byte_for_byte_no_trimming", "10.1.2.3", " 10.", false},
};

TEST(AddressAdmitted, Cases) {
    for (const auto& c : address_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(address_admitted(c.peer, c.prefix), c.admitted);
    }
}

std::span<const char> bytes_of(std::string_view text) {
    return {text.data(), text.size()};
}

TEST(HeadEnd, CompleteOnlyOnceTheBlankLineHasArrived) {
    // Fed one byte more at a time, as a slow client sends it.
    const std::string request = "GET / HTTP/1.0\r\nHost: a\r\n\r\nbody";
    const std::size_t end = request.find("\r\n\r\n") + 4;
    for (std::size_t received = 0; received <= request.size(); ++received) {
        SCOPED_TRACE(received);
        auto found = head_end(bytes_of(std::string_view(request).substr(0, received)));
        if (received < end)
            EXPECT_FALSE(found);
        else
            EXPECT_EQ(found, end);
    }
}

struct HeadEndCase {
    const char* name;
    std::string_view received;
    std::optional<std::size_t> end;
};
const HeadEndCase head_end_cases[] = {
    {"blank_line_alone_is_too_short", "\r\n\r\n", std::nullopt},
    {"blank_line_and_one_byte", "\r\n\r\nX", 4},
    {"bare_line_feeds_are_no_blank_line", "GET / HTTP/1.0\n\n", std::nullopt},
    {"nul_before_blank_line_hides_it", "GET /\0 HTTP/1.0\r\n\r\n"sv, std::nullopt},
    {"nul_after_blank_line", "GET /\r\n\r\n\0rest"sv, 9},
    {"first_blank_line_counts", "GET /\r\n\r\n\r\n\r\n", 9},
};

TEST(HeadEnd, Cases) {
    for (const auto& c : head_end_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(head_end(bytes_of(c.received)), c.end);
    }
}

struct LengthCase {
    const char* name;
    std::string_view head;
    std::optional<std::uint64_t> length;
};
const LengthCase length_cases[] = {
    {"usual", "POST /f HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", 3},
    {"any_case_no_blank", "POST /f HTTP/1.0\r\nhost: a\r\ncontent-LENGTH:12\r\n\r\n", 12},
    {"blanks_around_value", "POST /f HTTP/1.0\r\nContent-Length: \t 7 \t\r\n\r\n", 7},
    {"bare_line_feeds", "POST /f HTTP/1.0\nContent-Length: 5\n\r\n\r\n", 5},
    {"absent", "POST /f HTTP/1.0\r\nHost: a\r\n\r\n", std::nullopt},
    {"only_in_body", "POST /f HTTP/1.0\r\n\r\nContent-Length: 5", std::nullopt},
    {"request_line_is_no_header", "Content-Length: 5\r\n\r\n", std::nullopt},
    {"longer_name", "POST /f HTTP/1.0\r\nX-Content-Length: 5\r\n\r\n", std::nullopt},
    {"blank_before_colon", "POST /f HTTP/1.0\r\nContent-Length : 5\r\n\r\n", std::nullopt},
    {"empty_value", "POST /f HTTP/1.0\r\nContent-Length: \r\n\r\n", std::nullopt},
    {"trailing_letter", "POST /f HTTP/1.0\r\nContent-Length: 1x\r\n\r\n", std::nullopt},
    {"sign", "POST /f HTTP/1.0\r\nContent-Length: -1\r\n\r\n", std::nullopt},
    {"inner_blank", "POST /f HTTP/1.0\r\nContent-Length: 1 2\r\n\r\n", std::nullopt},
    {"largest", "POST /f HTTP/1.0\r\nContent-Length: 18446744073709551615\r\n\r\n",
     18446744073709551615u},
    {"overflow", "POST /f HTTP/1.0\r\nContent-Length: 18446744073709551616\r\n\r\n", std::nullopt},
    {"huge", "POST /f HTTP/1.0\r\nContent-Length: 99999999999999999999999999\r\n\r\n",
     std::nullopt},
    {"repeated_same", "POST /f HTTP/1.0\r\nContent-Length: 4\r\ncontent-length: 4\r\n\r\n", 4},
    {"repeated_different", "POST /f HTTP/1.0\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n",
     std::nullopt},
};

TEST(DeclaredContentLength, Cases) {
    for (const auto& c : length_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(declared_content_length(c.head), c.length);
    }
}

struct SplitCase {
    const char* name;
    std::string head;
    RequestLineFit fit;
    std::string method;
    std::string url;
    std::string protocol;
};

TEST(SplitRequestLine, Cases) {
    const std::string long_url = "/" + std::string(510, 'u');
    const SplitCase cases[] = {
        {"usual", "GET /a.html HTTP/1.0\r\n\r\n", RequestLineFit::fits, "GET", "/a.html",
         "HTTP/1.0"},
        {"protocol_from_next_line", "GET /a.html\r\nHost: x\r\n\r\n", RequestLineFit::fits, "GET",
         "/a.html", "Host:"},
        {"no_protocol_before_blank_line", "GET /a.html\r\n\r\n", RequestLineFit::fits, "GET",
         "/a.html", ""},
        {"white_space_before_each_field", " \t\v\fPOST\t/b \r\n HTTP/1.1\r\n\r\n",
         RequestLineFit::fits, "POST", "/b", "HTTP/1.1"},
        {"nul_ends_the_text", "GET\0 /a HTTP/1.0\r\n\r\n"s, RequestLineFit::fits, "GET", "", ""},
        {"nothing_received", "", RequestLineFit::fits, "", "", ""},
        {"method_at_its_limit", std::string(15, 'M') + " /a HTTP/1.0\r\n\r\n", RequestLineFit::fits,
         std::string(15, 'M'), "/a", "HTTP/1.0"},
        {"method_too_long", std::string(16, 'M') + " /a HTTP/1.0\r\n\r\n",
         RequestLineFit::method_too_long, std::string(15, 'M'), "/a", "HTTP/1.0"},
        {"url_at_its_limit", "GET " + long_url + " HTTP/1.0\r\n\r\n", RequestLineFit::fits, "GET",
         long_url, "HTTP/1.0"},
        {"url_too_long", "GET " + long_url + "v HTTP/1.0\r\n\r\n", RequestLineFit::url_too_long,
         "GET", long_url, "HTTP/1.0"},
        {"both_too_long_is_a_method_refusal",
         std::string(20, 'M') + " " + long_url + "v HTTP/1.0\r\n\r\n",
         RequestLineFit::method_too_long, std::string(15, 'M'), long_url, "HTTP/1.0"},
        {"protocol_cut", "GET /a " + std::string(70, 'P') + "\r\n\r\n", RequestLineFit::fits, "GET",
         "/a", std::string(63, 'P')},
    };
    ConnectionTicket ticket;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = std::make_unique<RequestContext>(ticket);
        // Stale fields must not survive a field that is missing from the head.
        (void)copy_into(context->protocol, "stale");
        std::memcpy(context->request_head.data(), c.head.data(), c.head.size());
        EXPECT_EQ(split_request_line(*context), c.fit);
        EXPECT_EQ(text_of(context->method), c.method);
        EXPECT_EQ(text_of(context->url), c.url);
        EXPECT_EQ(text_of(context->protocol), c.protocol);
    }
}

struct ConsoleCase {
    const char* name;
    std::string_view text;
    std::string_view shown;
};
const ConsoleCase console_cases[] = {
    {"terminal_escape", "GET /\x1b[2J HTTP/1.0", "GET /.[2J HTTP/1.0"},
    {"line_ends_and_tab_kept", "a\r\n\tb", "a\r\n\tb"},
    {"nul_and_delete", "a\0b\x7f"sv, "a.b."},
    {"other_controls", "\x01\x08\x0b\x0c\x1f", "....."},
    {"shift_jis_bytes_pass", "\x83\x41\x80\xff ~", "\x83\x41\x80\xff ~"},
};

TEST(ConsoleSafe, Cases) {
    for (const auto& c : console_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(console_safe(c.text), c.shown);
    }
}

} // namespace
