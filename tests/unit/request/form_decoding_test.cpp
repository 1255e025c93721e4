#include "common/fixed_text.h"
#include "request/form_decoding.h"
#include "request/request_context.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <string_view>

namespace {

struct DecodeCase {
    const char *name;
    std::string_view input;
    std::string_view expected;
};

// Bytes above 0x7F are written as separate literals, so that a following hex
// letter is not read as part of the escape.
constexpr DecodeCase decode_cases[] = {
    {"plus_becomes_space_escaped_plus_survives", "a+b%2Bc", "a b+c"},
    {"two_hiragana", "%A4%A2%A4%A4", "\x82\xA0\x82\xA2"},
    {"lower_case_digits", "%a4%a2%a4%a4", "\x82\xA0\x82\xA2"},
    {"escape_takes_raw_partner", "name=%41B", "name=AB"},
    {"escape_at_end_stands_alone", "x=%41", "x=A"},
    {"odd_escape_shifts_the_pairs", "%21%A4%A2x", "\x21\xA4\x81\x76"},
    {"converted_whatever_the_partner", "%A4B", "\x82\x40"},
    {"half_width_katakana_unchanged", "%8E%B1", "\x8E\xB1"},
    {"escaped_nul_kept_by_decoder", "a%00b", std::string_view("a\0b", 3)},
    {"raw_partner_of_escape", "%A4\xA2", "\x82\xA0"},
    {"raw_euc_without_escape_unchanged", "\xA4\xA2+", "\xA4\xA2 "},
    {"escaped_line_end", "a%0D%0Ab", "a\r\nb"},
    {"letters_beyond_f_not_rejected", "%zz%G1", "\x53\x01"},
    {"lead_byte_hides_plus", "\x82+A", "\x82+A"},
    {"lead_byte_hides_plus_not_the_next", "\x82++", "\x82+ "},
    {"lead_byte_at_end_is_alone", "a+\x82", "a \x82"},
    {"lead_byte_hides_only_percent", "\x82%41", "\x82%41"},
    {"walk_decodes_hidden_percent_too", "\x82%41%42",
     "\x82"
     "AB"},
    {"lone_percent", "%", "%"},
    {"percent_and_one_digit", "%4", "%4"},
    {"percent_at_end", "a%", "a%"},
    {"percent_percent", "%%", "%%"},
    {"incomplete_second_escape_is_no_partner", "%41%4", "A%4"},
    {"bare_second_percent_is_no_partner", "%41%", "A%"},
    {"lone_euc_byte_unconverted", "%A4", "\xA4"},
    {"lone_euc_byte_before_incomplete_escape", "%A4%A", "\xA4%A"},
};

TEST(DecodeFormText, Cases) {
    for (const auto &c : decode_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode_form_text(c.input), c.expected);
    }
}

TEST(EucPairToSjis, KnownPairs) {
    struct PairCase {
        unsigned char euc_first, euc_second, sjis_first, sjis_second;
    };
    constexpr PairCase cases[] = {
        {0xA4, 0xA2, 0x82, 0xA0},                           // hiragana a
        {0xA5, 0xA2, 0x83, 0x41},                           // katakana a
        {0xA1, 0xA1, 0x81, 0x40},                           // ideographic space
        {0xB4, 0xC1, 0x8A, 0xBF}, {0xFE, 0xFE, 0xEF, 0xFC}, // last cell of the last row
    };
    for (const auto &c : cases) {
        unsigned char first = c.euc_first;
        unsigned char second = c.euc_second;
        euc_pair_to_sjis(first, second);
        EXPECT_EQ(first, c.sjis_first) << std::hex << int(c.euc_first) << ' ' << int(c.euc_second);
        EXPECT_EQ(second, c.sjis_second)
            << std::hex << int(c.euc_first) << ' ' << int(c.euc_second);
    }
}

// Every JIS X 0208 character that the C library converts between the two
// encodings must come out of the arithmetic as the same two bytes.
TEST(EucPairToSjis, AgreesWithTheCLibrary) {
    iconv_t converter = iconv_open("SHIFT_JIS", "EUC-JP");
    if (converter == reinterpret_cast<iconv_t>(-1))
        converter = iconv_open("CP932", "EUC-JP");
    if (converter == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "no EUC-JP to Shift_JIS converter in the C library";

    int compared = 0;
    for (int euc_first = 0xA1; euc_first <= 0xFE; ++euc_first) {
        for (int euc_second = 0xA1; euc_second <= 0xFE; ++euc_second) {
            char in[2] = {static_cast<char>(euc_first), static_cast<char>(euc_second)};
            char out[8] = {};
            char *in_cursor = in;
            char *out_cursor = out;
            std::size_t in_left = sizeof in;
            std::size_t out_left = sizeof out;
            iconv(converter, nullptr, nullptr, nullptr, nullptr);
            if (iconv(converter, &in_cursor, &in_left, &out_cursor, &out_left) ==
                    static_cast<std::size_t>(-1) ||
                out_cursor - out != 2)
                continue;
            unsigned char first = static_cast<unsigned char>(euc_first);
            unsigned char second = static_cast<unsigned char>(euc_second);
            euc_pair_to_sjis(first, second);
            ASSERT_EQ(first, static_cast<unsigned char>(out[0]))
                << std::hex << euc_first << ' ' << euc_second;
            ASSERT_EQ(second, static_cast<unsigned char>(out[1]))
                << std::hex << euc_first << ' ' << euc_second;
            ++compared;
        }
    }
    iconv_close(converter);
    // JIS X 0208 assigns 6879 characters.
    EXPECT_GE(compared, 6879) << compared;
}

class FormExtraction : public ::testing::Test {
protected:
    ConnectionTicket ticket;
    RequestContext context{ticket};
};

TEST_F(FormExtraction, Body) {
    struct BodyCase {
        const char *name;
        std::string_view head;
        std::string_view raw_body;
        std::string_view decoded_body;
    };
    const BodyCase cases[] = {
        {"post_body_with_line_end",
         "POST /f.cgi HTTP/1.0\r\nContent-Length: 10\r\n\r\nq=%A4%A2\r\n", "q=%A4%A2",
         "q=\x82\xA0"},
        {"get_without_body", "GET / HTTP/1.0\r\nHost: x\r\n\r\n", "", ""},
        {"no_blank_line_body_behind_request_line", "POST /f.cgi HTTP/1.0\r\na=1+2", "a=1+2",
         "a=1 2"},
        {"no_line_end_at_all", "GET /", "", ""},
        {"high_bytes_at_both_ends_skipped", "POST / HTTP/1.0\r\n\r\n\x82\xA0q=1\x82\xA0\r\n", "q=1",
         "q=1"},
        {"escaped_line_end_stays", "POST / HTTP/1.0\r\n\r\na%0D%0Ab\r\n", "a%0D%0Ab", "a\r\nb"},
        {"escaped_nul_ends_stored_text", "POST / HTTP/1.0\r\n\r\na%00b", "a%00b", "a"},
        {"only_control_bytes", "POST / HTTP/1.0\r\n\r\n\x01\x02\x7F", "\x7F", "\x7F"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(copy_into(context.request_head, c.head));
        extract_body(context);
        EXPECT_EQ(text_of(context.raw_body), c.raw_body);
        EXPECT_EQ(text_of(context.decoded_body), c.decoded_body);
    }
}

TEST_F(FormExtraction, LongBodyIsCutToTheField) {
    std::string head = "POST / HTTP/1.0\r\n\r\n" + std::string(1500, 'x');
    ASSERT_TRUE(copy_into(context.request_head, head));
    extract_body(context);
    EXPECT_EQ(text_of(context.raw_body), std::string(body_size - 1, 'x'));
    EXPECT_EQ(text_of(context.decoded_body), std::string(body_size - 1, 'x'));
}

TEST_F(FormExtraction, FullHeadWithoutTerminator) {
    std::string head = "POST / HTTP/1.0\r\n\r\n";
    head += std::string(request_head_size - head.size(), 'y');
    std::copy(head.begin(), head.end(), context.request_head.begin());
    extract_body(context);
    EXPECT_EQ(text_of(context.raw_body), std::string(body_size - 1, 'y'));
}

TEST_F(FormExtraction, Query) {
    struct QueryCase {
        const char *name;
        std::string_view url;
        std::string_view query;
    };
    constexpr QueryCase cases[] = {
        {"further_marks_belong_to_query", "/x?a=1?b=2", "a=1?b=2"},
        {"empty_query", "/x.html?", ""},
        {"no_query", "/x.html", ""},
        {"decoded", "/f.cgi?q=%A4%A2+b", "q=\x82\xA0 b"},
        {"escaped_nul_ends_stored_text", "/x?a%00b", "a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(copy_into(context.query, "left over"));
        ASSERT_TRUE(copy_into(context.url, c.url));
        extract_query(context);
        EXPECT_EQ(text_of(context.query), c.query);
        EXPECT_EQ(text_of(context.url), c.url);
    }
}

} // namespace
