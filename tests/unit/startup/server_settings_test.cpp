#include "startup/server_settings.h"

#include "common/fixed_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// One setting as text, so that a single table covers text and integer keys.
// "port" is the listening port taken from HTTPPORT.
std::string setting(const ServerSettings& settings, std::string_view key) {
    if (key == "WEBROOT")
        return std::string(text_of(settings.WEBROOT));
    if (key == "WEBCGI")
        return std::string(text_of(settings.WEBCGI));
    if (key == "CGINAME")
        return std::string(text_of(settings.CGINAME));
    if (key == "CGIDIR")
        return std::string(text_of(settings.CGIDIR));
    if (key == "HTTPPORT")
        return std::to_string(settings.HTTPPORT);
    if (key == "port")
        return std::to_string(listening_port(settings));
    if (key == "CGITIMEOUT")
        return std::to_string(settings.CGITIMEOUT);
    if (key == "MAXTHREAD")
        return std::to_string(settings.MAXTHREAD);
    if (key == "LOGNAME")
        return std::string(text_of(settings.LOGNAME));
    if (key == "log_switch_bytes")
        return std::to_string(settings.log_switch_bytes);
    if (key == "ACCEPTIP_INNER")
        return std::string(text_of(settings.ACCEPTIP_INNER));
    if (key == "ACCEPTIP_OUTER")
        return std::string(text_of(settings.ACCEPTIP_OUTER));
    ADD_FAILURE() << "no setting " << key;
    return {};
}

struct SettingCase {
    const char* name;
    std::string contents;
    std::string_view key;
    std::string expected;
};

const SettingCase default_cases[] = {
    {"webroot", "", "WEBROOT", "htdocs"},
    {"webcgi", "", "WEBCGI", "cgi-bin"},
    {"cginame", "", "CGINAME", "--"},
    {"cgidir", "", "CGIDIR", "PROTECT"},
    {"httpport", "", "HTTPPORT", "8080"},
    {"cgitimeout", "", "CGITIMEOUT", "60"},
    {"maxthread", "", "MAXTHREAD", "10"},
    {"logname", "", "LOGNAME", "httpd.log"},
    {"logswitch", "", "log_switch_bytes", "0"},
    {"acceptip_inner", "", "ACCEPTIP_INNER", "127.0.0.1"},
    {"acceptip_outer", "", "ACCEPTIP_OUTER", "127.0.0.1"},
};

const SettingCase setting_cases[] = {
    // Names
    {"names_in_any_case", "[server]\nhttpport=81\n", "HTTPPORT", "81"},
    {"mixed_case_names", "[Www]\nWebRoot=site\n", "WEBROOT", "site"},
    {"key_of_another_section", "[SERVER]\nWEBROOT=site\n", "WEBROOT", "htdocs"},
    {"key_before_any_section", "WEBROOT=site\n[WWW]\n", "WEBROOT", "htdocs"},
    {"first_key_wins", "[WWW]\nWEBROOT=one\nwebroot=two\n", "WEBROOT", "one"},
    {"first_section_wins", "[WWW]\nWEBCGI=c\n[www]\nWEBROOT=late\n", "WEBROOT", "htdocs"},
    {"later_sections_of_other_names", "[SERVER]\n[WWW]\nWEBCGI=c\n[SECURITY]\nCGIDIR=d\n", "CGIDIR",
     "d"},
    {"line_without_equals_skipped", "[WWW]\nWEBROOT\nWEBROOT=site\n", "WEBROOT", "site"},
    // Blanks, quotes, comments, line ends
    {"blanks_trimmed", "  [ WWW ]  \r\n \t WEBROOT  =  my site \t \r\n", "WEBROOT", "my site"},
    {"crlf_line_ends", "[SERVER]\r\nLOGNAME=a.log\r\nMAXTHREAD=3\r\n", "LOGNAME", "a.log"},
    {"double_quotes_removed", "[WWW]\nWEBROOT=\" a b \"\n", "WEBROOT", " a b "},
    {"single_quotes_removed", "[WWW]\nWEBROOT='site'\n", "WEBROOT", "site"},
    {"one_pair_only", "[WWW]\nWEBROOT=\"\"site\"\"\n", "WEBROOT", "\"site\""},
    {"unmatched_quote_kept", "[WWW]\nWEBROOT=\"site\n", "WEBROOT", "\"site"},
    {"mixed_quotes_kept", "[WWW]\nWEBROOT=\"site'\n", "WEBROOT", "\"site'"},
    {"lone_quote_kept", "[WWW]\nWEBROOT=\"\n", "WEBROOT", "\""},
    {"comments_skipped", "[WWW]\n;WEBROOT=no\n  ; WEBROOT=no\nWEBROOT=yes\n", "WEBROOT", "yes"},
    {"commented_section_skipped", ";[SERVER]\n[WWW]\nWEBROOT=x\n", "WEBROOT", "x"},
    {"empty_text_value", "[WWW]\nWEBROOT=\n", "WEBROOT", ""},
    {"shift_jis_bytes_unchanged", "[SERVER]\nLOGNAME=\x95\x5C.log\n", "LOGNAME", "\x95\x5C.log"},
    // Text storage
    {"text_cut_to_127", "[WWW]\nWEBROOT=" + std::string(200, 'w') + "\n", "WEBROOT",
     std::string(127, 'w')},
    {"text_of_127_whole", "[WWW]\nWEBCGI=" + std::string(127, 'c') + "\n", "WEBCGI",
     std::string(127, 'c')},
    {"prefix_cut_to_78", "[SECURITY]\nACCEPTIP_INNER=" + std::string(100, '1') + "\n",
     "ACCEPTIP_INNER", std::string(78, '1')},
    {"outer_prefix_cut_to_78", "[SECURITY]\nACCEPTIP_OUTER=" + std::string(79, '2') + "\n",
     "ACCEPTIP_OUTER", std::string(78, '2')},
    // Integers
    {"port_low_16_bits", "[SERVER]\nHTTPPORT=65616\n", "port", "80"},
    {"port_kept_whole", "[SERVER]\nHTTPPORT=65616\n", "HTTPPORT", "65616"},
    {"trailing_text_ignored", "[SERVER]\nMAXTHREAD=12abc\n", "MAXTHREAD", "12"},
    {"no_digits_reads_zero", "[SERVER]\nMAXTHREAD=abc\n", "MAXTHREAD", "0"},
    {"empty_integer_keeps_default", "[SERVER]\nMAXTHREAD=\n", "MAXTHREAD", "10"},
    {"negative", "[SERVER]\nCGITIMEOUT=-5\n", "CGITIMEOUT", "-5"},
    {"plus_sign", "[SERVER]\nCGITIMEOUT=+7\n", "CGITIMEOUT", "7"},
    {"quoted_integer", "[SERVER]\nHTTPPORT=\"81\"\n", "HTTPPORT", "81"},
    {"wraps_at_32_bits", "[SERVER]\nHTTPPORT=4294967377\n", "HTTPPORT", "81"},
    {"logswitch_megabytes", "[SERVER]\nLOGSWITCH=5\n", "log_switch_bytes", "5242880"},
    {"logswitch_wraps_to_zero", "[SERVER]\nLOGSWITCH=4096\n", "log_switch_bytes", "0"},
    {"logswitch_negative", "[SERVER]\nLOGSWITCH=-1\n", "log_switch_bytes", "4293918720"},
};

TEST(ParseSettings, DefaultsWithoutSettings) {
    for (const auto& c : default_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(setting(parse_settings(c.contents), c.key), c.expected);
        EXPECT_EQ(setting(default_settings(), c.key), c.expected);
    }
}

TEST(ParseSettings, Cases) {
    for (const auto& c : setting_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(setting(parse_settings(c.contents), c.key), c.expected);
    }
}

struct TimeLimitCase {
    const char* name;
    std::int32_t seconds;
    std::int64_t cgi_ms;
    std::int64_t handler_ms;
};

constexpr TimeLimitCase time_limit_cases[] = {
    {"default", 60, 60000, 120000},
    {"zero", 0, 0, 0},
    {"handler_limit_held", 1073742, 1073742000, 2147483647},
    {"both_held", 2147484, 2147483647, 2147483647},
    {"no_wrap_round", 4294968, 2147483647, 2147483647},
    {"negative_is_longest", -1, 2147483647, 2147483647},
    {"most_negative", -2147483647 - 1, 2147483647, 2147483647},
};

TEST(TimeLimits, Cases) {
    for (const auto& c : time_limit_cases) {
        SCOPED_TRACE(c.name);
        ServerSettings settings = default_settings();
        settings.CGITIMEOUT = c.seconds;
        EXPECT_EQ(cgi_time_limit_ms(settings), c.cgi_ms);
        EXPECT_EQ(handler_time_limit_ms(settings), c.handler_ms);
    }
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/settings_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }
    std::filesystem::path directory_;
};

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    std::string path = (directory_ / "vostrel.ini").string();
    ServerSettings settings = read_settings_file(path.c_str());
    for (const auto& c : default_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(setting(settings, c.key), c.expected);
    }
}

TEST_F(SettingsFile, ReadsWholeFile) {
    std::string path = (directory_ / "vostrel.ini").string();
    // Long enough that the reader must take it in more than one piece.
    std::string contents = "[SERVER]\r\n";
    for (int i = 0; i < 1000; ++i)
        contents += "; filler line " + std::to_string(i) + "\r\n";
    contents += "[WWW]\r\nWEBROOT = \"site\"\r\n[SECURITY]\r\nACCEPTIP_OUTER=192.168.\r\n";
    std::ofstream(path, std::ios::binary) << contents;

    ServerSettings settings = read_settings_file(path.c_str());
    EXPECT_EQ(setting(settings, "WEBROOT"), "site");
    EXPECT_EQ(setting(settings, "ACCEPTIP_OUTER"), "192.168.");
    EXPECT_EQ(setting(settings, "HTTPPORT"), "8080");
}

TEST(InstallSettings, ReplacesProcessSettings) {
    ServerSettings saved = server_settings();
    ServerSettings changed = parse_settings("[SERVER]\nLOGNAME=other.log\n");
    install_settings(changed);
    EXPECT_EQ(setting(server_settings(), "LOGNAME"), "other.log");
    install_settings(saved);
}

} // namespace
