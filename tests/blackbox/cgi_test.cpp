// CGI runs through the real server: the environment block, the body on
// standard input, the reply head, time limits and children that misbehave.

#include "harness.h"

#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace blackbox {
namespace {

std::string head_of(long long length) {
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: Keep-Alive\r\n";
}
const std::string plain_header = "Content-Type: text/plain\r\n\r\n";

class CgiTest : public ServerTest {
protected:
    void SetUp() override {
        std::filesystem::copy_file(FIXTURE_DIR "/cgi_probe", workspace / "cgi-bin/probe.exe");
        ASSERT_NO_FATAL_FAILURE(start({{"SECURITY", {{"CGIDIR", "OPEN"}}},
                                       {"SERVER", {{"LOGSWITCH", "100"}, {"CGITIMEOUT", "1"}}}}));
    }

    // The probe's whole reply for a body it wrote behind its plain header.
    static std::string probe_reply(const std::string& body) {
        return head_of(static_cast<long long>(body.size())) + plain_header + body;
    }

    std::string host() const {
        char name[256] = {};
        ::gethostname(name, sizeof name - 1);
        return name;
    }
};

TEST_F(CgiTest, EnvironmentBlockHoldsTheTenVariablesInOrder) {
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    std::string common_tail = "PATH=" + path + "\n";
    std::string get_env = "GATEWAY_INTERFACE=CGI/1.1\nHTTP_THREAD_COUNT=";
    Received get = request_reply(port, "GET /probe.cgi?env HTTP/1.1\r\n\r\n");
    Received post = request_reply(
        port, "POST /probe.cgi?env HTTP/1.1\r\nContent-Length: 11\r\n\r\nname=%A4%A2");
    for (const auto* reply : {&get, &post}) {
        std::string body =
            reply->bytes.substr(reply->bytes.find(plain_header) + plain_header.size());
        std::istringstream lines(body);
        std::vector<std::string> names;
        for (std::string line; std::getline(lines, line);)
            names.push_back(line.substr(0, line.find('=')));
        std::vector<std::string> expected = {
            "GATEWAY_INTERFACE", "HTTP_THREAD_COUNT", "PATH",
            "QUERY_STRING",      "REQUEST_METHOD",    "SERVER_NAME",
            "SERVER_PROTOCOL",   "SERVER_SOFTWARE",   "SystemRoot"};
        if (reply == &post)
            expected.insert(expected.begin(), "CONTENT_LENGTH");
        EXPECT_EQ(names, expected);
        EXPECT_NE(body.find("SERVER_PROTOCOL=HTTP/1.0\n"), std::string::npos);
        EXPECT_NE(body.find("SERVER_SOFTWARE=Tevrano-Brakka-WWWServer1.2\n"), std::string::npos);
        EXPECT_NE(body.find("QUERY_STRING=env\n"), std::string::npos);
        EXPECT_NE(body.find("SERVER_NAME=" + host() + "\n"), std::string::npos);
        EXPECT_NE(body.find(common_tail), std::string::npos);
        EXPECT_NE(body.find("SystemRoot=\n"), std::string::npos);
    }
    EXPECT_NE(get.bytes.find("REQUEST_METHOD=GET\n"), std::string::npos);
    // The decoded body is seven bytes: "name=" and one Shift_JIS character.
    EXPECT_NE(post.bytes.find(plain_header + "CONTENT_LENGTH=7\n"), std::string::npos);
}

// The first connection's handler counts its own worker's slot and the slot its
// successor took before the handler started: MAXTHREAD 5 leaves 3, no bound
// (0) counts down from 0.
class ThreadCountTest : public ServerTest,
                        public ::testing::WithParamInterface<std::pair<const char*, const char*>> {
};

TEST_P(ThreadCountTest, FirstConnectionSeesItsOwnAndItsSuccessorsSlots) {
    std::filesystem::copy_file(FIXTURE_DIR "/cgi_probe", workspace / "cgi-bin/probe.exe");
    ASSERT_NO_FATAL_FAILURE(start({{"SECURITY", {{"CGIDIR", "OPEN"}}},
                                   {"SERVER", {{"MAXTHREAD", GetParam().first}}}}));
    Received reply = request_reply(port, "GET /probe.cgi?env HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.bytes.find("\nHTTP_THREAD_COUNT=" + std::string(GetParam().second) + "\n"),
              std::string::npos)
        << reply.bytes;
}

INSTANTIATE_TEST_SUITE_P(MaxThread, ThreadCountTest,
                         ::testing::Values(std::pair{"5", "3"}, std::pair{"0", "-2"}));

TEST_F(CgiTest, BodyArrivesExactlyThenEndOfInput) {
    Received reply =
        request_reply(port, "POST /probe.cgi?stdin HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_EQ(reply.bytes, probe_reply("count=3\na=1"));
    // A GET gives the child an empty input that ends at once.
    EXPECT_EQ(request_reply(port, "GET /probe.cgi?stdin HTTP/1.0\r\n\r\n").bytes,
              probe_reply("count=0\n"));
    // A reply is complete before its line is written, so the lines of two
    // requests in a row may come in either order.
    EXPECT_TRUE(log.wait_for_message(
        "127.000.000.001 POST htdocs/probe.cgi[/probe.cgi] Data:a=1Data:stdin"));
}

TEST_F(CgiTest, ContentLengthCountsTheBodyBehindTheHeaderBlock) {
    workspace.write_file("htdocs/lf.pl", "print \"Content-type: text/html\\n\\nhi\";\n");
    struct Case {
        const char* url;
        std::string reply;
    };
    const Case cases[] = {
        {"/probe.cgi?html", head_of(5) + "Content-type: text/html\r\n\r\nhello"},
        {"/probe.cgi?plain", head_of(2) + plain_header + "ok"},
        {"/lf.pl", head_of(2) + "Content-type: text/html\n\nhi"},
        {"/probe.cgi?noblank", ""},
        {"/probe.cgi?empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Received reply = request_reply(port, "GET " + std::string(c.url) + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.bytes, c.reply);
        EXPECT_EQ(reply.end, End::closed);
    }
}

TEST_F(CgiTest, LargeOutputIsDeliveredWhole) {
    Received reply = request_reply(port, "GET /probe.cgi?big=300000 HTTP/1.0\r\n\r\n");
    std::string body;
    while (body.size() < 300000)
        body += "abcdefghijklmnopqrstuvwxyz";
    body.resize(300000);
    EXPECT_EQ(reply.bytes, probe_reply(body));
}

TEST_F(CgiTest, BackgroundProcessHoldingTheOutputDoesNotHoldTheReply) {
    auto started = Clock::now();
    Received reply = request_reply(port, "GET /probe.cgi?spawn HTTP/1.0\r\n\r\n");
    EXPECT_LT(Clock::now() - started, 3000ms) << "the reply waited for the grandchild";
    EXPECT_EQ(reply.end, End::closed);
    EXPECT_NE(reply.bytes.find("grandchild="), std::string::npos);
}

bool process_gone(const std::string& pids) {
    std::istringstream list(pids);
    for (long pid; list >> pid;)
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            return false;
    return true;
}

TEST_F(CgiTest, ChildPastTheTimeLimitIsEndedAndNothingIsSent) {
    std::string pidfile = (workspace.path() / "pids").string();
    auto started = Clock::now();
    Received reply = request_reply(port, "GET /probe.cgi?pidfile=" + pidfile +
                                             "&sleep=30&html HTTP/1.0\r\n\r\n");
    auto took = Clock::now() - started;
    EXPECT_EQ(reply.bytes, "");
    EXPECT_EQ(reply.end, End::closed);
    EXPECT_GT(took, 900ms);
    EXPECT_LT(took, 3000ms);
    std::string pids = workspace.read_file("pids").value_or("");
    ASSERT_FALSE(pids.empty());
    EXPECT_TRUE(eventually([&] { return process_gone(pids); }, 2000ms)) << "left running: " << pids;
}

TEST_F(CgiTest, ConcurrentRunsEachGetTheirOwnOutput) {
    std::vector<std::thread> clients;
    std::vector<std::string> replies(6);
    for (std::size_t i = 0; i < replies.size(); ++i)
        clients.emplace_back([&, i] {
            replies[i] =
                request_reply(port, "GET /probe.cgi?sleep=0.2&big=" + std::to_string(1000 + i) +
                                        " HTTP/1.0\r\n\r\n")
                    .bytes;
        });
    for (auto& client : clients)
        client.join();
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(replies[i].find("Content-Length: " + std::to_string(1000 + i) + "\r\n"),
                  std::string::npos);
        EXPECT_EQ(replies[i].size(), head_of(1000 + i).size() + plain_header.size() + 1000 + i);
    }
}

TEST_F(CgiTest, PerlScriptsRunThroughTheirInterpreter) {
    workspace.write_file(
        "htdocs/with.pl",
        "#!/usr/bin/perl -w\r\nprint \"Content-type: text/html\\r\\n\\r\\n$0\";\n");
    workspace.write_file("htdocs/without.pl",
                         "print \"Content-type: text/html\\r\\n\\r\\nplain perl\";\n");
    workspace.write_file("htdocs/missing.pl", "#!/no/such/perl\nprint 1;\n");
    std::string script = std::filesystem::canonical(workspace.path()).string() + "/htdocs/with.pl";
    EXPECT_EQ(request_reply(port, "GET /with.pl HTTP/1.0\r\n\r\n").bytes,
              head_of(static_cast<long long>(script.size())) + "Content-type: text/html\r\n\r\n" +
                  script);
    EXPECT_EQ(request_reply(port, "GET /without.pl?x=1 HTTP/1.0\r\n\r\n").bytes,
              head_of(10) + "Content-type: text/html\r\n\r\nplain perl");
    EXPECT_EQ(request_reply(port, "GET /missing.pl HTTP/1.0\r\n\r\n").bytes, "");
    EXPECT_TRUE(server->wait_console_contains("CreateProcess ERROR\n"));
    EXPECT_TRUE(log.wait_for_message("127.000.000.001  GET htdocs/missing.pl[/missing.pl] "));
}

TEST_F(CgiTest, NamedApplicationRunsWhenNoProgramHasTheName) {
    // The default CGINAME "--" names no program: the start fails.
    EXPECT_EQ(request_reply(port, "GET /app.cgi?x=1 HTTP/1.0\r\n\r\n").bytes, "");
    EXPECT_TRUE(server->wait_console_contains("CreateProcess ERROR\n"));
}

} // namespace
} // namespace blackbox
