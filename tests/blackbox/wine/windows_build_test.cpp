// The Windows build seen from outside: httpd.exe started through Wine (the
// rig's HTTPD_LAUNCHER), with what only Windows has: the service registry, the
// named mutex shared between processes, the device names and the case-blind
// file system. HTTPD_WIN_FIXTURE_DIR holds the cross-built win_child.exe.

#include "../harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace blackbox {
namespace {

const char* launcher() {
    const char* value = std::getenv("HTTPD_LAUNCHER");
    return value && *value ? value : "wine";
}

std::filesystem::path windows_fixture(const char* name) {
    const char* directory = std::getenv("HTTPD_WIN_FIXTURE_DIR");
    return std::filesystem::path(directory ? directory : ".") / name;
}

// The C: drive of the Wine prefix that runs the server.
std::filesystem::path drive_c() {
    const char* prefix = std::getenv("WINEPREFIX");
    return std::filesystem::path(prefix ? prefix : "") / "drive_c";
}

// A Windows program started through the launcher, with its standard input
// and output on pipes. Ended by its id and reaped on destruction.
class WindowsProgram {
public:
    explicit WindowsProgram(std::vector<std::string> words) {
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "cannot make pipes";
            return;
        }
        words.insert(words.begin(), launcher());
        std::vector<char*> arguments;
        for (auto& word : words)
            arguments.push_back(word.data());
        arguments.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            if (::dup2(input[0], 0) < 0 || ::dup2(output[1], 1) < 0 || ::dup2(null, 2) < 0)
                ::_exit(126);
            ::execvp(arguments[0], arguments.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        input_fd_ = input[1];
        output_fd_ = output[0];
    }
    ~WindowsProgram() {
        close_input();
        if (pid_ > 0 && !wait(5000ms)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_fd_ >= 0)
            ::close(output_fd_);
    }
    WindowsProgram(const WindowsProgram&) = delete;
    WindowsProgram& operator=(const WindowsProgram&) = delete;

    // Reads standard output until it holds `text` or `timeout` passes.
    bool wait_output(std::string_view text, Milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd watched{output_fd_, POLLIN, 0};
            if (::poll(&watched, 1, static_cast<int>(left)) <= 0)
                continue;
            char chunk[256];
            ssize_t count = ::read(output_fd_, chunk, sizeof chunk);
            if (count <= 0)
                return false;
            output_.append(chunk, static_cast<std::size_t>(count));
        }
        return true;
    }
    void close_input() {
        if (input_fd_ >= 0)
            ::close(input_fd_);
        input_fd_ = -1;
    }
    // The exit code once the program has ended within `timeout`.
    std::optional<int> wait(Milliseconds timeout) {
        std::optional<int> code;
        eventually(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) != pid_)
                    return false;
                code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                pid_ = -1;
                return true;
            },
            timeout);
        return code;
    }

private:
    int pid_ = -1;
    int input_fd_ = -1;
    int output_fd_ = -1;
    std::string output_;
};

constexpr const char* service_key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\DorirAzovide";

// Registers the service's executable path for as long as it lives; the key is
// deleted afterwards, so that it cannot redirect later tests.
class ServiceRegistration {
public:
    explicit ServiceRegistration(const std::string& image_path) {
        WindowsProgram add({"reg", "add", service_key, "/v", "ImagePath", "/d", image_path, "/f"});
        EXPECT_EQ(add.wait(30000ms), std::optional<int>(0)) << "reg add failed";
    }
    ~ServiceRegistration() {
        WindowsProgram remove({"reg", "delete", service_key, "/f"});
        EXPECT_EQ(remove.wait(30000ms), std::optional<int>(0)) << "reg delete failed";
    }
    ServiceRegistration(const ServiceRegistration&) = delete;
    ServiceRegistration& operator=(const ServiceRegistration&) = delete;
};

class WindowsBuildTest : public ServerTest {};

TEST_F(WindowsBuildTest, SettingsFileIsFoundThroughTheServiceRegistry) {
    const std::filesystem::path service_directory = drive_c() / "srv" / "web";
    std::filesystem::create_directories(service_directory);
    const char* image_paths[] = {"C:\\srv\\web\\httpd.exe", "\"C:\\srv\\web\\httpd.exe\""};
    for (const char* image_path : image_paths) {
        SCOPED_TRACE(image_path);
        std::uint16_t other_port = free_loopback_port();
        // The current directory's file names another port: it must not be read.
        workspace.write_settings({{"SERVER", {{"HTTPPORT", std::to_string(other_port)}}}});
        {
            std::ofstream file(service_directory / "vostrel.ini", std::ios::trunc);
            file << "[SERVER]\r\nHTTPPORT=" << port << "\r\nLOGSWITCH=100\r\n";
        }
        ServiceRegistration registration(image_path);
        launch();
        EXPECT_TRUE(server->wait_listening(port, 10000ms)) << server->console();
        server.reset();
    }
    std::filesystem::remove_all(drive_c() / "srv");
}

TEST_F(WindowsBuildTest, SettingsFileIsFoundInTheCurrentDirectoryWithoutTheService) {
    WindowsProgram query({"reg", "query", service_key});
    ASSERT_NE(query.wait(30000ms), std::optional<int>(0)) << "a service key is left registered";
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "100"}}}}));
    ASSERT_TRUE(log.wait_for_records(1));
    EXPECT_EQ(log.messages(), std::vector<std::string>{texts::start_banner});
}

// A handler that waits, for its client or for a client that does not read,
// never holds up the next connection: each of these waits sets the successor
// going first.
TEST_F(WindowsBuildTest, WaitingHandlerDoesNotHoldUpTheNextConnection) {
    workspace.write_file("htdocs/a.html", "quick");
    workspace.write_file("htdocs/big.gif", std::string(24 << 20, 'b'));
    ASSERT_NO_FATAL_FAILURE(start({{"WWW", {{"WEBROOT", "htdocs"}}},
                                   {"SERVER", {{"MAXTHREAD", "0"}, {"LOGSWITCH", "100"}}}}));
    const std::string quick_reply = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n"
                                    "Connection: Keep-Alive\r\nContent-type: text/html\r\n\r\nquick";
    const std::string stalls[] = {"", "GET /a.html HTTP/1.0\r\n", "GET /big.gif HTTP/1.0\r\n\r\n"};
    for (const std::string& sent : stalls) {
        SCOPED_TRACE(sent);
        Client waiting(port);
        ASSERT_TRUE(waiting.send(sent));
        auto asked = Clock::now();
        Received reply = request_reply(port, "GET /a.html HTTP/1.0\r\n\r\n", "127.0.0.1", 5000ms);
        EXPECT_EQ(reply.bytes, quick_reply);
        EXPECT_LT(Clock::now() - asked, 2000ms);
        waiting.reset();
    }
}

struct StaticCase {
    const char* url;
    std::string reply;
};

TEST_F(WindowsBuildTest, StaticRepliesAndRefusals) {
    workspace.write_file("htdocs/index.html", "<p>hello</p>");
    workspace.write_file("htdocs/logo.gif", std::string("GIF89a\0\x01\xff", 9));
    workspace.write_file("htdocs/script.pl", "print 'source';\n");
    workspace.make_directory("htdocs/sub");
    // CGIDIR other than "PROTECT" turns the selection by extension on.
    ASSERT_NO_FATAL_FAILURE(start({{"WWW", {{"WEBROOT", "htdocs"}}},
                                   {"SECURITY", {{"CGIDIR", "OPEN"}}},
                                   {"SERVER", {{"LOGSWITCH", "100"}}}}));

    const std::string not_found = "404 Not Found";
    const StaticCase cases[] = {
        {"/index.html", "HTTP/1.0 200 OK\r\nContent-Length: 12\r\nConnection: Keep-Alive\r\n"
                        "Content-type: text/html\r\n\r\n<p>hello</p>"},
        {"/logo.gif", "HTTP/1.0 200 OK\r\nContent-Length: 9\r\nConnection: Keep-Alive\r\n"
                      "Content-type: image/gif\r\n\r\n" +
                          std::string("GIF89a\0\x01\xff", 9)},
        {"/missing.html", not_found},
        {"/sub", not_found},
        // The file system's own names are never opened.
        {"/CON", not_found},
        {"/nul.html", not_found},
        {"/sub/aux.txt", not_found},
        {"/c:/windows/win.ini", not_found},
        {"/index.html::$DATA", not_found},
        // The script's source is not served under another case.
        {"/script.PL", not_found},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Received reply = request_reply(port, std::string("GET ") + c.url + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(reply.bytes, c.reply);
        EXPECT_EQ(reply.end, End::closed);
    }
    // The local path is formed with the Windows separator.
    EXPECT_TRUE(log.wait_for_message("127.000.000.001  GET htdocs\\index.html[/index.html] "))
        << workspace.read_file("httpd.log").value_or("");
}

// The names that the child printed from its environment block, in block order,
// without those that Wine adds to every process (it also moves SystemRoot
// behind them, which keeps it last here).
std::vector<std::string> child_environment(const std::string& body) {
    std::vector<std::string> entries;
    std::size_t start = body.find("\ncwd=");
    if (start == std::string::npos)
        return entries;
    start = body.find('\n', start + 1) + 1;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos)
            break;
        std::string entry = body.substr(start, end - start);
        if (!entry.starts_with("WINE") && !entry.starts_with("SystemDrive="))
            entries.push_back(entry);
        start = end + 1;
    }
    return entries;
}

TEST_F(WindowsBuildTest, CgiChildGetsItsBodyAndEnvironmentBlock) {
    std::filesystem::copy_file(windows_fixture("win_child.exe"),
                               workspace / "cgi-bin/win_child.exe");
    ASSERT_NO_FATAL_FAILURE(start({{"WWW", {{"WEBROOT", "htdocs"}, {"WEBCGI", "cgi-bin"}}},
                                   {"SECURITY", {{"CGIDIR", "OPEN"}}},
                                   {"SERVER", {{"LOGSWITCH", "100"}, {"CGITIMEOUT", "10"}}}}));
    Received reply =
        request_reply(port, "POST /win_child.cgi?x=1 HTTP/1.0\r\nContent-Length: 7\r\n\r\na=1&b=2",
                      "127.0.0.1", 20000ms);
    ASSERT_EQ(reply.end, End::closed);
    const std::string head_start = "HTTP/1.0 200 OK\r\nContent-Length: ";
    ASSERT_TRUE(reply.bytes.starts_with(head_start)) << reply.bytes;
    std::size_t head_end = reply.bytes.find("\r\nConnection: Keep-Alive\r\n");
    ASSERT_NE(head_end, std::string::npos) << reply.bytes;
    std::string output = reply.bytes.substr(head_end + 26);
    const std::string child_header = "Content-type: text/html\r\n\r\n";
    EXPECT_EQ(reply.bytes.substr(head_start.size(), head_end - head_start.size()),
              std::to_string(output.size() - child_header.size()));
    ASSERT_TRUE(output.starts_with(child_header + "stdin=a=1&b=2\ncwd=")) << output;

    std::vector<std::string> environment = child_environment(output);
    std::vector<std::string> names;
    for (const auto& entry : environment)
        names.push_back(entry.substr(0, entry.find('=')));
    EXPECT_EQ(names,
              (std::vector<std::string>{"CONTENT_LENGTH", "GATEWAY_INTERFACE", "HTTP_THREAD_COUNT",
                                        "PATH", "QUERY_STRING", "REQUEST_METHOD", "SERVER_NAME",
                                        "SERVER_PROTOCOL", "SERVER_SOFTWARE", "SystemRoot"}))
        << output;
    for (const char* entry :
         {"CONTENT_LENGTH=7", "GATEWAY_INTERFACE=CGI/1.1", "QUERY_STRING=x=1",
          "REQUEST_METHOD=POST", "SERVER_PROTOCOL=HTTP/1.0",
          "SERVER_SOFTWARE=Tevrano-Brakka-WWWServer1.2", "SystemRoot=C:\\windows"})
        EXPECT_NE(std::find(environment.begin(), environment.end(), entry), environment.end())
            << entry << " missing from\n"
            << output;
    // A CGI request's line carries no status.
    EXPECT_TRUE(log.wait_for_message(
        "127.000.000.001 POST htdocs\\win_child.cgi[/win_child.cgi] Data:a=1&b=2Data:x=1"))
        << workspace.read_file("httpd.log").value_or("");
}

// The access line is written under the system-wide mutex: while another
// process owns it, the line waits; once it is released, the line is written.
TEST_F(WindowsBuildTest, AccessLineWaitsForTheNamedMutex) {
    ASSERT_NO_FATAL_FAILURE(start({{"SERVER", {{"LOGSWITCH", "100"}}}}));
    ASSERT_TRUE(log.wait_for_records(1));
    WindowsProgram holder({windows_fixture("win_child.exe").string(), "hold"});
    ASSERT_TRUE(holder.wait_output("held\n", 20000ms));

    // The reply goes out while the line waits.
    Client client(port);
    ASSERT_TRUE(client.send("PUT / HTTP/1.0\r\n\r\n"));
    Received reply = client.read_until_closed(1000ms);
    EXPECT_EQ(reply.bytes, "501 Not Implemented");
    const std::string put_line = "127.000.000.001 PUT  501 Not Implemented";
    EXPECT_EQ(log.messages(), std::vector<std::string>{texts::start_banner})
        << "the line did not wait for the mutex";

    holder.close_input();
    EXPECT_EQ(holder.wait(10000ms), std::optional<int>(0));
    EXPECT_EQ(client.read_until_closed().end, End::closed);
    EXPECT_TRUE(log.wait_for_message(put_line));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{texts::start_banner, put_line}));
}

} // namespace
} // namespace blackbox
