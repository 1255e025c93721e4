#include "startup/settings_path.h"

#include "common/fixed_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

struct PathCase {
    const char* name;
    std::string input;
    bool fits;
    std::string expected;
};

const PathCase directory_cases[] = {
    {"directory", "/srv/web", true, "/srv/web/vostrel.ini"},
    {"no_directory", "", true, "/vostrel.ini"},
    {"fills_the_path", std::string(499, 'd'), true, std::string(499, 'd') + "/vostrel.ini"},
    {"one_byte_too_long", std::string(500, 'd'), false, ""},
};

TEST(ComposeSettingsPath, Cases) {
    for (const auto& c : directory_cases) {
        SCOPED_TRACE(c.name);
        std::array<char, settings_path_size> path{};
        ASSERT_EQ(compose_settings_path(path, c.input, '/'), c.fits);
        if (c.fits) {
            EXPECT_EQ(text_of(path), c.expected);
        }
    }
}

const PathCase service_cases[] = {
    {"cut_at_last_backslash", "C:\\srv\\web\\httpd.exe", true, "C:\\srv\\web\\vostrel.ini"},
    {"no_backslash", "httpd.exe", true, "httpd.exe\\vostrel.ini"},
    {"empty_image_path", "", true, "\\vostrel.ini"},
    {"quoted", "\"C:\\Program Files\\web\\httpd.exe\"", true,
     "C:\\Program Files\\web\\vostrel.ini"},
    {"quoted_with_argument", "\"C:\\a b\\httpd.exe\" -service", true, "C:\\a b\\vostrel.ini"},
    {"quote_without_partner", "\"C:\\web\\httpd.exe", true, "C:\\web\\vostrel.ini"},
    {"unquoted_blanks", "C:\\a b\\httpd.exe", true, "C:\\a b\\vostrel.ini"},
    // A long executable name beyond the path's room still leaves a directory
    // that fits.
    {"long_name_after_cut", "C:\\web\\" + std::string(600, 'x'), true, "C:\\web\\vostrel.ini"},
    {"directory_too_long", std::string(500, 'd') + "\\httpd.exe", false, ""},
};

TEST(ComposeServiceSettingsPath, Cases) {
    for (const auto& c : service_cases) {
        SCOPED_TRACE(c.name);
        std::array<char, settings_path_size> path{};
        ASSERT_EQ(compose_service_settings_path(path, c.input, '\\'), c.fits);
        if (c.fits) {
            EXPECT_EQ(text_of(path), c.expected);
        }
    }
}

} // namespace
