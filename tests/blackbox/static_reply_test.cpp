// Static replies: the URL mapped onto a file under the document directory, the
// reply head and content class byte for byte, files served whole, and paths
// that must never reach the file system.

#include "harness.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace blackbox {
namespace {

std::string head_of(std::size_t length) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: Keep-Alive\r\n";
}
const std::string text_type = "Content-type: text/html\r\n\r\n";
const std::string image_type = "Content-type: image/gif\r\n\r\n";

std::string get(std::string_view url) {
    return "GET " + std::string(url) + " HTTP/1.0\r\n\r\n";
}

// Bytes that no two positions of a large file share by accident.
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
    return bytes;
}

class StaticReplyTest : public ServerTest {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "100"}}}})); }
};

struct ReplyCase {
    const char* name;
    const char* url;
    std::string reply;
    std::string line; // the access line after "127.000.000.001  GET "
};

TEST_F(StaticReplyTest, RepliesByteForByte) {
    workspace.write_file("htdocs/a.html", "<p>hi</p>");
    workspace.write_file("htdocs/page.htm", "htm");
    workspace.make_directory("htdocs/old.files");
    workspace.write_file("htdocs/old.files/README", "readme");
    workspace.write_file("htdocs/README", "plain");
    workspace.write_file("htdocs/empty.html", "");
    workspace.write_file("htdocs/empty.gif", "");
    const ReplyCase cases[] = {
        {"text_class", "/a.html?x=1&y=2", head_of(9) + text_type + "<p>hi</p>",
         "htdocs/a.html[/a.html] Data:x=1&y=2"},
        {"htm_is_image_class", "/page.htm", head_of(3) + image_type + "htm",
         "htdocs/page.htm[/page.htm] "},
        {"last_dot_of_whole_path", "/old.files/README", head_of(6) + image_type + "readme",
         "htdocs/old.files/README[/old.files/README] "},
        {"no_dot_is_text", "/README", head_of(5) + text_type + "plain", "htdocs/README[/README] "},
        {"class_after_the_cut", "/a.html?b.gif", head_of(9) + text_type + "<p>hi</p>",
         "htdocs/a.html[/a.html] Data:b.gif"},
        {"empty_text_file", "/empty.html", head_of(0) + text_type,
         "htdocs/empty.html[/empty.html] "},
        {"empty_image_file", "/empty.gif", head_of(0) + image_type,
         "htdocs/empty.gif[/empty.gif] "},
        {"document_directory_itself", "/", "404 Not Found", "htdocs/[/] 404 Not Found"},
        {"missing", "/missing.html", "404 Not Found",
         "htdocs/missing.html[/missing.html] 404 Not Found"},
        {"escapes_not_decoded", "/my%20page.html", "404 Not Found",
         "htdocs/my%20page.html[/my%20page.html] 404 Not Found"},
    };
    std::size_t records = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Received reply = request_reply(port, get(c.url));
        EXPECT_EQ(reply.bytes, c.reply);
        EXPECT_EQ(reply.end, End::closed);
        ++records;
        ASSERT_TRUE(log.wait_for_records(records));
        EXPECT_EQ(log.messages().back(), "127.000.000.001  GET " + c.line);
    }
}

TEST_F(StaticReplyTest, TraversalNeverReachesTheFileSystem) {
    // A file one level above the document directory, which every URL below
    // would name if ".." were passed on.
    workspace.write_file("x", "secret");
    workspace.write_file("htdocs/x", "inside");
    const char* urls[] = {"/../x", "/a/../../x", "/..\\x", "/..", ".../x", "x../x", "/../x?q=1"};
    for (const char* url : urls) {
        SCOPED_TRACE(url);
        Received reply = request_reply(port, get(url));
        EXPECT_EQ(reply.bytes, "404 Not Found");
    }
    // A name that merely contains two dots is an ordinary name.
    workspace.write_file("htdocs/a..b", "dots");
    EXPECT_EQ(request_reply(port, get("/a..b")).bytes, head_of(4) + image_type + "dots");
}

TEST_F(StaticReplyTest, OnlyRegularFilesAreServedAndNothingBlocks) {
    workspace.make_directory("htdocs/dir.html");
    ASSERT_EQ(::mkfifo((workspace.path() / "htdocs/pipe.html").c_str(), 0644), 0);
    for (const char* url : {"/dir.html", "/pipe.html"}) {
        SCOPED_TRACE(url);
        auto started = Clock::now();
        Received reply = request_reply(port, get(url), "127.0.0.1", 3000ms);
        EXPECT_EQ(reply.bytes, "404 Not Found");
        EXPECT_LT(Clock::now() - started, 1000ms);
    }
}

TEST_F(StaticReplyTest, LargeFileArrivesWholeThroughCurl) {
    const std::string content = patterned(3 * 1000 * 1000);
    workspace.write_file("htdocs/big.gif", content);
    std::string out = (workspace.path() / "fetched").string();
    std::string headers = (workspace.path() / "headers").string();
    std::string command = "curl -s -0 -o '" + out + "' -D '" + headers +
                          "' http://127.0.0.1:" + std::to_string(port) + "/big.gif";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(workspace.read_file("fetched"), content);
    EXPECT_NE(workspace.read_file("headers").value_or("").find("Content-Length: 3000000\r\n"),
              std::string::npos);
}

TEST_F(StaticReplyTest, SlowReaderReceivesEveryByte) {
    const std::string content = patterned(2 * 1024 * 1024);
    workspace.write_file("htdocs/slow.gif", content);
    Client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(get("/slow.gif")));
    // Let the server fill every buffer and wait for the client to take more.
    std::this_thread::sleep_for(300ms);
    Received reply = client.read_until_closed(20000ms);
    EXPECT_EQ(reply.end, End::closed);
    EXPECT_EQ(reply.bytes, head_of(content.size()) + image_type + content);
}

TEST_F(StaticReplyTest, BodyArrivingAfterTheHeadIsLoggedWhole) {
    workspace.write_file("htdocs/form.html", "ok");
    Client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("POST /form.html HTTP/1.0\r\nContent-Length: 11\r\n\r\n"));
    Received early = client.read_until_closed(300ms);
    EXPECT_EQ(early.end, End::timed_out) << "answered before the body was in";
    ASSERT_TRUE(client.send("name=%A4%A2"));
    Received reply = client.read_until_closed();
    EXPECT_EQ(reply.bytes, head_of(2) + text_type + "ok");
    ASSERT_TRUE(log.wait_for_records(2));
    EXPECT_EQ(log.messages().back(),
              "127.000.000.001 POST htdocs/form.html[/form.html] Data:name=" +
                  bytes_of({0x82, 0xA0}));
}

} // namespace
} // namespace blackbox
