// The examples of the README and of the manual page, run against the real
// binary: the examples are read from the documents themselves, so a document
// that drifts from the program fails here.

#include "harness.h"

#include <fstream>
#include <sstream>

namespace blackbox {
namespace {

namespace fs = std::filesystem;

const fs::path source_dir = fs::path(SOURCE_FIXTURE_DIR).parent_path().parent_path();

std::string read_source(const fs::path& relative) {
    std::ifstream file(source_dir / relative, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The fenced block that follows "<!-- example: NAME -->" in the README, with
// the line end of its last line.
std::string readme_example(const std::string& name) {
    std::string text = read_source("README.md");
    std::size_t marker = text.find("<!-- example: " + name + " -->\n");
    if (marker == std::string::npos) {
        ADD_FAILURE() << "the README has no example " << name;
        return {};
    }
    std::size_t start = text.find('\n', text.find("```", marker)) + 1;
    std::size_t end = text.find("\n```", start);
    return text.substr(start, end + 1 - start);
}

// The .EX block after the comment ".\" example: NAME" in the manual page, with
// its escaped hyphens as they read.
std::string manual_example(const std::string& name) {
    std::string text = read_source("docs/httpd.8");
    std::size_t marker = text.find(".\\\" example: " + name + "\n");
    if (marker == std::string::npos) {
        ADD_FAILURE() << "the manual has no example " << name;
        return {};
    }
    std::size_t start = text.find("\n.EX\n", marker) + 5;
    std::size_t end = text.find("\n.EE", start);
    return replace_all(text.substr(start, end + 1 - start), "\\-", "-");
}

// The settings lines of an INI text, without comments and blank lines.
std::vector<std::string> settings_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream input(text);
    for (std::string line; std::getline(input, line);)
        if (!line.empty() && line.front() != ';')
            lines.push_back(line);
    return lines;
}

// The README shows the server's Japanese texts in UTF-8; the server writes
// them as Shift_JIS.
std::string as_shift_jis(std::string text) {
    text = replace_all(text, "起動しました。", texts::started);
    text = replace_all(text, "終了しました。", texts::ended);
    text = replace_all(text, "アクセス許可されていません。", texts::access_refused);
    text = replace_all(text, "クライアント側でキャンセルされました。", texts::client_cancelled);
    return replace_all(text, "日本", bytes_of({0x93, 0xFA, 0x96, 0x7B}));
}

// A request as the README shows it: its head's lines end in CR LF on the wire.
std::string wire_request(const std::string& shown) {
    std::size_t blank = shown.find("\n\n");
    std::string body = shown.substr(blank + 2);
    if (!body.empty() && body.back() == '\n')
        body.pop_back();
    return replace_all(shown.substr(0, blank + 2), "\n", "\r\n") + body;
}

TEST(DocumentationTest, SettingsExampleIsTheExampleSitesAndTheManuals) {
    auto readme = settings_lines(readme_example("settings"));
    ASSERT_FALSE(readme.empty());
    EXPECT_EQ(readme, settings_lines(read_source("examples/site/vostrel.ini")));
    EXPECT_EQ(readme, settings_lines(manual_example("settings")));
}

// The example site with the README's settings, on a free port.
class DocumentedSiteTest : public ServerTest {
protected:
    void SetUp() override {
        fs::copy(source_dir / "examples/site/htdocs", workspace / "htdocs",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        fs::copy_file(source_dir / "examples/site/cgi-bin/form.exe",
                      workspace / "cgi-bin/form.exe");
        fs::permissions(workspace / "cgi-bin/form.exe", fs::perms::owner_all);
        workspace.write_settings_text(replace_all(readme_example("settings"), "HTTPPORT=8080",
                                                  "HTTPPORT=" + std::to_string(port)));
        launch();
        ASSERT_TRUE(server->wait_listening(port)) << server->console();
    }

    // Sends `request` and waits for its access line.
    Received exchange(std::string_view request, const char* source = "127.0.0.1") {
        std::size_t records = log.messages().size();
        Received reply = request_reply(port, request, source);
        EXPECT_TRUE(log.wait_for_records(records + 1));
        return reply;
    }
};

TEST_F(DocumentedSiteTest, CgiExchangesAreAsShown) {
    for (std::string program : {"form.cgi", "form.pl"}) {
        SCOPED_TRACE(program);
        std::string request = wire_request(readme_example(program + " request"));
        Received reply = exchange(request);
        EXPECT_EQ(reply.end, End::closed);
        EXPECT_EQ(replace_all(reply.bytes, "\r\n", "\n"), readme_example(program + " reply"));
    }
}

TEST_F(DocumentedSiteTest, LogShowsOneLineOfEachKind) {
    EXPECT_TRUE(exchange("GET /index.html HTTP/1.0\r\n\r\n").bytes.starts_with("HTTP/1.0 200 OK"));
    EXPECT_EQ(exchange("GET /missing.html HTTP/1.0\r\n\r\n").bytes, "404 Not Found");
    EXPECT_NE(exchange("POST /form.cgi HTTP/1.0\r\nContent-Length: 17\r\n\r\nname=%C6%FC%CB%DC")
                  .bytes.find("<p id=\"message\">" + bytes_of({0x93, 0xFA, 0x96, 0x7B}) + "</p>"),
              std::string::npos);
    EXPECT_EQ(exchange("PUT / HTTP/1.0\r\n\r\n").bytes, "501 Not Implemented");
    EXPECT_EQ(exchange("POST /form.cgi HTTP/1.0\r\nContent-Length: 2000\r\n\r\nname=x").bytes,
              "413 Request Entity Too Large");
    EXPECT_EQ(exchange("GET /index.html HTTP/1.0\r\n\r\n", "127.0.0.2").bytes, "");
    {
        Client client(port);
        ASSERT_TRUE(client.send("GET /index.html HTTP/1.0\r\n"));
        client.reset();
        ASSERT_TRUE(log.wait_for_records(8));
    }
    // A second server on the same port cannot listen; at end of input it ends.
    ServerProcess second(workspace.path());
    ASSERT_TRUE(second.wait_console_contains("\n Error in Binding socket."));
    second.close_input();
    EXPECT_EQ(second.wait_exit(), 0);

    std::vector<std::string> shown;
    std::istringstream lines(as_shift_jis(readme_example("log")));
    for (std::string line; std::getline(lines, line);) {
        std::string message = line.substr(24); // the time stamp
        shown.push_back(message.starts_with(" Tevrano") ? message + "\n" : message);
    }
    EXPECT_EQ(log.messages(), shown);
}

TEST_F(DocumentedSiteTest, ConsoleTraceIsAsShown) {
    exchange("GET /index.html HTTP/1.0\r\n\r\n");
    std::string shown = readme_example("console");
    shown.pop_back(); // the block's own line end
    shown = replace_all(replace_all(shown, "\\r", "\r"), "\\n", "\n");
    ASSERT_TRUE(server->wait_console_contains(shown));
    EXPECT_EQ(server->console(), shown);
}

// The security notes' examples.
TEST_F(DocumentedSiteTest, SecurityNotesHold) {
    struct Case {
        const char* source;
        const char* request;
        const char* reply_start;
    };
    const Case cases[] = {
        {"127.0.0.10", "GET /index.html HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK"},
        {"127.0.0.1", "GET /a/../vostrel.ini HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"127.0.0.1", "GET /.. HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"127.0.0.1", "GET /../x HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"127.0.0.1", "GET / HTTP/1.0\r\n\r\n", "404 Not Found"},
        {"127.0.0.1", "GET /index.html?lang=ja HTTP/1.0\r\n\r\n", "HTTP/1.0 200 OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_TRUE(exchange(c.request, c.source).bytes.starts_with(c.reply_start));
    }
}

} // namespace
} // namespace blackbox
