#include "common/fixed_text.h"
#include "dispatch/send.h"
#include "request/request_context.h"
#include "request/static_reply.h"
#include "startup/server_settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

ServerSettings settings_with_root(std::string_view root) {
    ServerSettings settings{};
    EXPECT_TRUE(copy_into(settings.WEBROOT, root));
    return settings;
}

class PathMapping : public ::testing::Test {
protected:
    ConnectionTicket ticket;
    RequestContext context{ticket};

    void map(std::string_view url, std::string_view root = "htdocs") {
        ASSERT_TRUE(copy_into(context.url, url));
        context.path_refused = false;
        map_local_path(context, settings_with_root(root));
    }
};

TEST_F(PathMapping, Urls) {
    struct MapCase {
        std::string_view url;
        std::string_view mapped; // local_path before the cut at '?'
        std::string_view cut;
    };
    constexpr MapCase cases[] = {
        {"/", "htdocs/", "htdocs/"},
        {"", "htdocs/", "htdocs/"},
        {"/docs/a.html?x=1&y=2", "htdocs/docs/a.html?x=1&y=2", "htdocs/docs/a.html"},
        {"index.html", "htdocs/ndex.html", "htdocs/ndex.html"},
        {"/my%20page.html", "htdocs/my%20page.html", "htdocs/my%20page.html"},
        {"/a+b.html", "htdocs/a+b.html", "htdocs/a+b.html"},
        {"/a?b?c", "htdocs/a?b?c", "htdocs/a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        map(c.url);
        EXPECT_EQ(text_of(context.local_path), c.mapped);
        EXPECT_FALSE(context.path_refused);
        cut_at_question_mark(context.local_path);
        EXPECT_EQ(text_of(context.local_path), c.cut);
    }
}

TEST_F(PathMapping, DotDotSegmentsAreRefused) {
    constexpr std::string_view refused[] = {
        "/../x", "/a/../../x", "/..\\x", "/..",     "/../",   ".../x",
        "x../x", "/a/..",      "/a\\..", "/..?q=1", "/a/..?",
    };
    for (auto url : refused) {
        SCOPED_TRACE(url);
        map(url);
        EXPECT_TRUE(context.path_refused);
    }
    constexpr std::string_view allowed[] = {
        "/..x", "/a..b/c", "/x..", "/.../x", "/x/...", "/x?../y", "/x?a=/../b", "..", "/.",
    };
    for (auto url : allowed) {
        SCOPED_TRACE(url);
        map(url);
        EXPECT_FALSE(context.path_refused);
    }
}

TEST_F(PathMapping, PathThatDoesNotFitIsRefused) {
    const std::string root(127, 'w');
    // root, separator and 383 characters fill the 511 characters exactly.
    map("/" + std::string(383, 'a'), root);
    EXPECT_FALSE(context.path_refused);
    EXPECT_EQ(text_of(context.local_path).size(), local_path_size - 1);

    map("/" + std::string(384, 'a'), root);
    EXPECT_TRUE(context.path_refused);
    EXPECT_EQ(text_of(context.local_path).size(), local_path_size - 1);

    // A long query is cut away before the path is used, so it refuses nothing.
    map("/a.html?" + std::string(500, 'q'), root);
    EXPECT_FALSE(context.path_refused);
    cut_at_question_mark(context.local_path);
    EXPECT_EQ(text_of(context.local_path), root + "/a.html");
}

TEST(ContentClass, LastDotOfTheWholePath) {
    struct ClassCase {
        std::string_view path;
        ContentClass expected;
    };
    constexpr ClassCase cases[] = {
        {"htdocs/a.html", ContentClass::text},
        {"htdocs/a.htmlx", ContentClass::text},
        {"htdocs/README", ContentClass::text},
        {"htdocs/page.htm", ContentClass::image},
        {"htdocs/a.HTML", ContentClass::image},
        {"htdocs/a.gif", ContentClass::image},
        {"htdocs/old.files/README", ContentClass::image},
        {"web.root/README", ContentClass::image},
        {"web.root/a.html", ContentClass::text},
        {".", ContentClass::text},
        {"a.", ContentClass::image},
        {"", ContentClass::text},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(content_class(c.path), c.expected);
    }
}

TEST_F(PathMapping, ClassIsChosenAfterTheCut) {
    map("/a.html?b.gif");
    cut_at_question_mark(context.local_path);
    EXPECT_EQ(content_class(text_of(context.local_path)), ContentClass::text);
}

TEST(FormatReplyHead, ExactBytes) {
    struct HeadCase {
        std::int64_t length;
        std::string_view digits;
    };
    constexpr HeadCase cases[] = {
        {0, "0"},
        {65536, "65536"},
        {-1, "-1"},
        {3'000'000'000, "3000000000"},
        {INT64_MIN, "-9223372036854775808"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.digits);
        std::array<char, work_text_size> head{};
        std::size_t length = format_reply_head(head, c.length);
        std::string expected = "HTTP/1.0 200 OK\r\nContent-Length: " + std::string(c.digits) +
                               "\r\nConnection: Keep-Alive\r\n";
        EXPECT_EQ(text_of(head), expected);
        EXPECT_EQ(length, expected.size());
    }
}

// A directory of its own for each test, removed at its end.
class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "static-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDirectory() { std::filesystem::remove_all(path_); }
    const std::filesystem::path &path() const { return path_; }
    std::string write(const std::string &name, std::string_view bytes) const {
        std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        return file.string();
    }

private:
    std::filesystem::path path_;
};

std::string reply_head(std::size_t length, std::string_view content_type) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: Keep-Alive\r\n" + std::string(content_type);
}

// One connection seen from both ends: the server's end, non-blocking as
// accepted connections are, lent to the request through its ticket, and the
// client's end, read to the end on a thread of its own while the reply is sent.
class StaticReply : public ::testing::Test {
protected:
    TempDirectory directory;
    ConnectionTicket ticket;
    RequestContext context{ticket};
    int client = -1;

    void SetUp() override { connect(); }
    void TearDown() override { disconnect(); }

    void connect() {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
        ticket.socket = platform::Socket(ends[0]);
        client = ends[1];
        ticket.deadline = deadline_after(10'000);
    }
    void disconnect() {
        if (ticket.socket.valid())
            ::close(static_cast<int>(ticket.socket.release()));
        ::close(client);
    }

    // Whether the send primitives deliver bytes in this build; the reply's
    // bytes can only be compared when they do.
    bool sends_deliver() {
        if (send_text(ticket, "?") != 0)
            return false;
        char byte = 0;
        return ::read(client, &byte, 1) == 1 && byte == '?';
    }

    // Serves `local_path` and returns every byte the client received.
    std::string serve(std::string_view local_path) {
        EXPECT_TRUE(copy_into(context.local_path, local_path));
        std::string received;
        std::thread reader([&] {
            char buffer[65536];
            ssize_t count;
            while ((count = ::read(client, buffer, sizeof buffer)) > 0)
                received.append(buffer, static_cast<std::size_t>(count));
        });
        send_static_reply(context);
        ::shutdown(static_cast<int>(ticket.socket.get()), SHUT_WR);
        reader.join();
        return received;
    }
};

TEST_F(StaticReply, NotFoundSetsTheStatusText) {
    std::string file = directory.write("a.html", "hello");
    std::string fifo = (directory.path() / "pipe.html").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct NotFoundCase {
        const char *name;
        std::string path;
        bool refused;
    };
    const NotFoundCase cases[] = {
        {"missing", (directory.path() / "missing.html").string(), false},
        {"directory", directory.path().string() + "/", false},
        {"fifo", fifo, false},
        {"device", "/dev/null", false},
        {"refused_existing_file", file, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_text(context.status_text);
        context.path_refused = c.refused;
        ASSERT_TRUE(copy_into(context.local_path, c.path));
        send_static_reply(context);
        EXPECT_EQ(text_of(context.status_text), "404 Not Found");
    }
}

TEST_F(StaticReply, CancelledRequestSendsNothing) {
    ticket.cancelled = true;
    EXPECT_EQ(serve(directory.write("a.html", "hello")), "");
    EXPECT_EQ(text_of(context.status_text), "");
}

TEST_F(StaticReply, RepliesOnTheWire) {
    if (!sends_deliver())
        GTEST_SKIP() << "the send primitives deliver nothing in this build";
    const std::string big(3 * 1024 * 1024 + 17, 'b');
    struct ReplyCase {
        const char *name;
        std::string file;
        std::string_view contents;
        std::string_view content_type;
    };
    const ReplyCase cases[] = {
        {"text", "a.html", "<p>hello</p>", text_content_type},
        {"image", "logo.gif", "GIF89a\x01", image_content_type},
        {"empty_text", "empty.html", "", text_content_type},
        {"empty_image", "empty.txt", "", image_content_type},
        {"larger_than_any_buffer", "big.html", big, text_content_type},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = directory.write(c.file, c.contents);
        std::string received = serve(path);
        EXPECT_TRUE(received ==
                    reply_head(c.contents.size(), c.content_type) + std::string(c.contents))
            << received.size() << " bytes received";
        EXPECT_EQ(text_of(context.status_text), "");
        disconnect();
        connect();
    }
}

TEST_F(StaticReply, NotFoundOnTheWire) {
    if (!sends_deliver())
        GTEST_SKIP() << "the send primitives deliver nothing in this build";
    EXPECT_EQ(serve(directory.path().string() + "/"), "404 Not Found");
}

} // namespace
