#include "cgi/cgi_target.h"

#include "common/fixed_text.h"
#include "request/request_context.h"
#include "startup/server_settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A document directory and a CGI directory in a fresh temporary directory,
// removed at the end of the test.
class CgiTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cgi_target_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base = pattern;
        fs::create_directories(base / "www");
        fs::create_directories(base / "cgi");
        copy_into(settings.WEBCGI, (base / "cgi").string());
        copy_into(settings.CGINAME, "--");
        copy_into(settings.CGIDIR, "ON");
    }
    void TearDown() override { fs::remove_all(base); }

    // Creates `name` under `directory` of the fixture, with `contents`.
    void create_file(std::string_view directory, std::string_view name,
                     std::string_view contents = "") {
        fs::path path = base / directory / name;
        fs::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary);
        file << contents;
    }

    std::string webcgi() const { return (base / "cgi").string(); }

    fs::path base;
    ServerSettings settings{};
    ConnectionTicket ticket;
    RequestContext context{ticket};
};

struct ClassifyCase {
    const char* name;
    std::string_view cgidir;
    std::string url;
    std::vector<std::string_view> cgi_files; // present in WEBCGI
    std::string_view cgi_command;
    bool is_perl;
    bool cgi_refused;
};

const std::string long_stem(200, 'a');
const std::string stem_of_123(123, 'b'); // name of exactly 127 characters
const std::string stem_of_124(124, 'b');

const ClassifyCase classify_cases[] = {
    {"protect_switches_off", "PROTECT", "/bbs.cgi", {"bbs.exe"}, "", false, false},
    {"only_seven_bytes_count", "PROTECTED", "/bbs.cgi", {"bbs.exe"}, "", false, false},
    {"protect_switches_off_perl", "PROTECT", "/x.pl", {"x.pl"}, "", false, false},
    {"lower_case_protect_is_on", "protect", "/bbs.cgi", {"bbs.exe"}, "bbs.exe", false, false},
    {"short_protect_is_on", "PROTEC", "/bbs.cgi", {"bbs.exe"}, "bbs.exe", false, false},
    {"empty_cgidir_is_on", "", "/bbs.cgi", {"bbs.exe"}, "bbs.exe", false, false},
    {"program_present", "ON", "/bbs.cgi?mode=list", {"bbs.exe"}, "bbs.exe", false, false},
    {"program_missing", "ON", "/bbs.cgi", {}, "", false, false},
    {"subdirectory_kept", "ON", "/tools/bbs.cgi", {"tools/bbs.exe"}, "tools/bbs.exe", false, false},
    {"subdirectory_missing", "ON", "/tools/bbs.cgi", {"bbs.exe"}, "", false, false},
    {"extension_case_significant", "ON", "/bbs.CGI", {"bbs.exe"}, "", false, false},
    {"longer_extension_matches", "ON", "/bbs.cgix", {"bbs.exe"}, "bbs.exe", false, false},
    {"first_dot_decides", "ON", "/docs.old/bbs.cgi", {"bbs.exe", "docs.exe"}, "", false, false},
    {"dot_in_query_counts", "ON", "/x?a.cgi", {"x?a.exe"}, "x?a.exe", false, false},
    {"question_mark_no_wildcard", "ON", "/x?a.cgi", {"xza.exe"}, "", false, false},
    {"first_character_skipped", "ON", "xbbs.cgi", {"bbs.exe"}, "bbs.exe", false, false},
    {"perl_name_present", "ON", "/x.pl", {"x.pl"}, "x.pl", true, false},
    {"perl_name_missing_stays_perl", "ON", "/x.pl?a=b", {}, "", true, false},
    {"longer_perl_extension", "ON", "/x.plx", {}, "", true, false},
    {"no_dot", "ON", "/bbs", {"bbs.exe"}, "", false, false},
    {"root", "ON", "/", {}, "", false, false},
    {"empty_url", "ON", "", {}, "", false, false},
    {"html_is_static", "ON", "/index.html", {}, "", false, false},
    // The program one level above WEBCGI exists, so a probe would find it.
    {"dot_dot_probes_nothing", "ON", "/../x.cgi", {"../x.exe"}, "", false, false},
    {"dot_dot_perl_probes_nothing", "ON", "/../x.pl", {"../x.pl"}, "", false, false},
    {"long_name_refused", "ON", "/" + long_stem + ".cgi", {}, "", false, true},
    {"long_perl_name_refused", "ON", "/" + long_stem + ".pl", {}, "", true, true},
    {"long_static_name_not_refused", "ON", "/" + long_stem + ".html", {}, "", false, false},
    {"name_fills_field", "ON", "/" + stem_of_123 + ".cgi", {}, "", false, false},
    {"name_one_past_field", "ON", "/" + stem_of_124 + ".cgi", {}, "", false, true},
};

TEST_F(CgiTargetTest, ClassifiesUrls) {
    for (const auto& c : classify_cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(base / "cgi");
        fs::create_directories(base / "cgi");
        for (std::string_view file : c.cgi_files)
            create_file("cgi", file);
        copy_into(settings.CGIDIR, c.cgidir);
        copy_into(context.url, c.url);
        // Left over from an earlier request on purpose: every field is set afresh.
        copy_into(context.cgi_command, "stale.exe");
        context.is_perl = true;
        context.cgi_refused = true;

        classify_cgi_url(context, settings);

        EXPECT_EQ(text_of(context.cgi_command), c.cgi_command);
        EXPECT_EQ(context.is_perl, c.is_perl);
        EXPECT_EQ(context.cgi_refused, c.cgi_refused);
    }
}

TEST_F(CgiTargetTest, RefusedPathIsNotProbed) {
    create_file("cgi", "bbs.exe");
    copy_into(context.url, "/bbs.cgi");
    context.path_refused = true;
    classify_cgi_url(context, settings);
    EXPECT_EQ(text_of(context.cgi_command), "");
    EXPECT_FALSE(context.is_perl);
}

struct PerlCase {
    const char* name;
    const char* first_bytes; // nullptr: no script file
    std::string_view interpreter;
};

const PerlCase perl_cases[] = {
    {"crlf_line", "#!/usr/bin/perl\r\nprint 1;\n", "/usr/bin/perl"},
    {"lf_line", "#!/usr/bin/perl\nprint 1;\n", "/usr/bin/perl"},
    {"no_line_end", "#!/usr/bin/perl", "/usr/bin/perl"},
    {"blank_and_options_kept", "#! perl -w\n", " perl -w"},
    {"bare_marker", "#!\n", ""},
    {"bare_marker_crlf", "#!\r\n", ""},
    {"bare_marker_alone", "#!", ""},
    // Bytes from 0x80 up count as control bytes at the line end.
    {"high_byte_before_line_feed", "#!/usr/bin/perl\x82\n", "/usr/bin/perl"},
    {"high_byte_at_end", "#!/usr/bin/perl\xE9", "/usr/bin/perl"},
    {"no_marker", "print 1;\n", "perl"},
    {"marker_not_first", " #!/usr/bin/perl\n", "perl"},
    {"empty_file", "", "perl"},
    {"missing_file", nullptr, "perl"},
};

TEST_F(CgiTargetTest, BuildsPerlCommands) {
    std::string script = (base / "www" / "t.pl").string();
    for (const auto& c : perl_cases) {
        SCOPED_TRACE(c.name);
        fs::remove(script);
        if (c.first_bytes)
            create_file("www", "t.pl", c.first_bytes);
        copy_into(context.local_path, script);
        copy_into(context.cgi_command, "t.pl");
        context.is_perl = true;
        context.cgi_refused = false;

        build_perl_command(context);

        EXPECT_EQ(text_of(context.cgi_command), std::string(c.interpreter) + " " + script);
        EXPECT_FALSE(context.cgi_refused);
    }
}

TEST_F(CgiTargetTest, OverlongPerlCommandRefused) {
    // fgets takes 254 bytes of this line: far more than the command may hold.
    create_file("www", "t.pl", "#!" + std::string(300, 'p') + "\n");
    copy_into(context.local_path, (base / "www" / "t.pl").string());
    context.is_perl = true;
    build_perl_command(context);
    EXPECT_TRUE(context.cgi_refused);
    EXPECT_EQ(text_of(context.cgi_command), "");
    EXPECT_FALSE(is_cgi_request(context));
}

TEST_F(CgiTargetTest, RefusedPerlNameStaysRefused) {
    copy_into(context.url, "/" + long_stem + ".pl");
    copy_into(context.local_path, (base / "www" / (long_stem + ".pl")).string());
    classify_cgi_url(context, settings);
    build_perl_command(context);
    EXPECT_TRUE(context.cgi_refused);
    EXPECT_EQ(text_of(context.cgi_command), "");
    EXPECT_FALSE(is_cgi_request(context));
}

// Reading a line from a FIFO would wait for a writer that never comes.
TEST_F(CgiTargetTest, FifoScriptIsNotRead) {
    std::string script = (base / "www" / "t.pl").string();
    ASSERT_EQ(mkfifo(script.c_str(), 0600), 0);
    copy_into(context.local_path, script);
    context.is_perl = true;
    build_perl_command(context);
    EXPECT_EQ(text_of(context.cgi_command), "perl " + script);
}

// The child runs in WEBCGI, so a script path relative to the server's
// directory is handed over with that directory in front.
TEST_F(CgiTargetTest, RelativeScriptPathMadeAbsolute) {
    fs::path relative = fs::relative(base / "www" / "t.pl", fs::current_path());
    ASSERT_TRUE(relative.is_relative());
    create_file("www", "t.pl", "#!/usr/bin/perl\r\n");
    copy_into(context.local_path, relative.string());
    context.is_perl = true;
    build_perl_command(context);
    std::string expected = "/usr/bin/perl " + fs::current_path().string() + "/" + relative.string();
    if (expected.size() <= 127) {
        EXPECT_EQ(text_of(context.cgi_command), expected);
        EXPECT_FALSE(context.cgi_refused);
    } else {
        EXPECT_TRUE(context.cgi_refused);
    }
}

struct DecisionCase {
    const char* name;
    std::string_view url; // already cut at '?'
    std::string_view cgi_command;
    bool is_perl;
    bool cgi_refused;
    bool expected;
};

const DecisionCase decision_cases[] = {
    {"named_application", "/app.cgi", "", false, false, true},
    {"named_application_any_first_character", "xapp.cgi", "", false, false, true},
    {"named_application_longer", "/app.cgix", "", false, false, false},
    {"named_application_path", "/app.cgi/x", "", false, false, false},
    {"named_application_case", "/APP.cgi", "", false, false, false},
    {"program_found", "/bbs.cgi", "bbs.exe", false, false, true},
    {"perl_script", "/t.pl", "", true, false, true},
    {"static", "/index.html", "", false, false, false},
    {"root", "/", "", false, false, false},
    {"empty_url", "", "", false, false, false},
    {"refused_perl", "/t.pl", "", true, true, false},
    {"refused_program", "/bbs.cgi", "", false, true, false},
};

TEST_F(CgiTargetTest, DecidesCgiRequests) {
    for (const auto& c : decision_cases) {
        SCOPED_TRACE(c.name);
        copy_into(context.url, c.url);
        copy_into(context.cgi_command, c.cgi_command);
        context.is_perl = c.is_perl;
        context.cgi_refused = c.cgi_refused;
        EXPECT_EQ(is_cgi_request(context), c.expected);
    }
}

TEST_F(CgiTargetTest, BuildsCommandLines) {
    struct CommandCase {
        const char* name;
        std::string_view cgi_command;
        bool is_perl;
        std::string expected;
    };
    const CommandCase cases[] = {
        {"perl_command_unchanged", "/usr/bin/perl /www/t.pl", true, "/usr/bin/perl /www/t.pl"},
        {"program", "tools/bbs.exe", false, webcgi() + "/tools/bbs.exe"},
        {"named_application", "", false, webcgi() + "/--"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        copy_into(context.cgi_command, c.cgi_command);
        context.is_perl = c.is_perl;
        build_cgi_command_line(context, settings);
        EXPECT_EQ(text_of(context.work_text), c.expected);
        EXPECT_EQ(text_of(context.cgi_directory), webcgi());
    }
}

// A program named app.exe takes the URL /app.cgi from the named application.
TEST_F(CgiTargetTest, CgiNameTakesPrecedenceOverNamedApplication) {
    struct PrecedenceCase {
        const char* name;
        std::string_view cgidir;
        bool app_exe_present;
        std::string expected;
    };
    const PrecedenceCase cases[] = {
        {"program_present", "ON", true, webcgi() + "/app.exe"},
        {"program_missing", "ON", false, webcgi() + "/--"},
        {"selection_off", "PROTECT", true, webcgi() + "/--"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(base / "cgi" / "app.exe");
        if (c.app_exe_present)
            create_file("cgi", "app.exe");
        copy_into(settings.CGIDIR, c.cgidir);
        copy_into(context.url, "/app.cgi?q=1");
        classify_cgi_url(context, settings);
        copy_into(context.url, "/app.cgi"); // the cut the access record makes
        ASSERT_TRUE(is_cgi_request(context));
        build_cgi_command_line(context, settings);
        EXPECT_EQ(text_of(context.work_text), c.expected);
    }
}

} // namespace
