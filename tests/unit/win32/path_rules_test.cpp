#include "platform/conventions.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

struct PathCase {
    std::string_view mapped;
    bool scripts_selected;
    bool reserved;
};

TEST(MappedPathReserved, Cases) {
    const PathCase cases[] = {
        {"index.html", true, false},
        {"docs/a.txt", true, false},
        {"", true, false},
        // A drive, a drive-relative path, a file's data stream.
        {"c:/windows/win.ini", true, true},
        {"a.txt::$DATA", true, true},
        {"x:y", false, true},
        // Devices in any segment, any case, with or without an extension.
        {"CON", true, true},
        {"nul.txt", true, true},
        {"docs/aux.html", true, true},
        {"Com1", true, true},
        {"lpt9.log", true, true},
        {"prn/x.html", true, true},
        {"con .txt", true, true},
        {"a\\conout$", true, true},
        // Names that only resemble one.
        {"console.txt", true, false},
        {"com0", true, false},
        {"com10", true, false},
        {"xnul", true, false},
        {"icon.gif", true, false},
        // A script's extension in another case would be served as its source.
        {"s.PL", true, true},
        {"s.Pl", true, true},
        {"dir/t.CGI", true, true},
        {"s.PL.", true, true},
        {"s.PL ", true, true},
        {"s.PL", false, false},
        {"s.pl", true, false},
        {"t.cgi", true, false},
        {"s.plx", true, false},
        {"s.PLX", true, false},
        {"a.PL/b.txt", true, false},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(platform::mapped_path_reserved(c.mapped, c.scripts_selected), c.reserved)
            << c.mapped << " selected=" << c.scripts_selected;
}

} // namespace
