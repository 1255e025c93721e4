#include "cgi/run_cgi.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace {

using namespace std::string_view_literals;

TEST(CgiHeaderBlockLength, Cases) {
    struct Case {
        const char *name;
        std::string_view output;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        {"html_header", "Content-type: text/html\r\n\r\nhello", 27},
        {"longer_header", "Content-Type: text/plain\r\n\r\nok", 28},
        {"bare_line_feeds", "A: b\n\nxy", 6},
        {"crlf_then_lf", "A: b\r\n\nxy", 7},
        {"header_without_body", "A: b\r\n\r\n", 8},
        {"crlf_pair_ends_first", "A\r\n\r\n\n", 5},
        {"lf_pair_ends_first", "A\n\nB\r\n\r\n", 3},
        {"opening_crlf_is_the_block", "\r\nbody", 2},
        {"opening_lf_is_the_block", "\nbody", 1},
        {"opening_crlf_before_another", "\r\n\r\nbody", 2},
        {"nul_in_header", "A\0b\n\nx"sv, 5},
        {"no_blank_line", "Content-Type: text/plain\r\nno blank line\r\n", std::nullopt},
        {"lone_cr_lf_cr", "A\r\n\rx", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cgi_header_block_length(c.output), c.expected);
    }
}

} // namespace
