#pragma once

// The rig of the system tests: a fresh workspace with its own settings file, the
// real server binary started inside it, a raw-socket client on loopback and a
// reader of the log file. Every wait is bounded; nothing here sleeps for long.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace blackbox {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Section -> key -> value, written in this order into vostrel.ini.
using Settings = std::map<std::string, std::map<std::string, std::string>>;

// Bytes given as numbers, for the Shift_JIS texts that a string literal would
// obscure.
std::string bytes_of(std::initializer_list<unsigned char> values);

// The server's own texts.
namespace texts {
extern const std::string started;          // the Japanese word of the start banner
extern const std::string ended;            // the Japanese word of the stop banner
extern const std::string start_banner;     // " Tevrano-Brakka-WWWServer1.2 " + started + "\n"
extern const std::string stop_banner;      // the same with `ended`
extern const std::string access_refused;   // the refused client's Japanese text
extern const std::string client_cancelled; // the receive-failure line's Japanese text
} // namespace texts

// A port on 127.0.0.1 that was free a moment ago: bound with port 0, read, closed.
std::uint16_t free_loopback_port();

// A fresh temporary directory, removed with everything in it on destruction.
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view relative) const { return path_ / relative; }

    // Writes `settings` as vostrel.ini, sections and keys as given.
    void write_settings(const Settings& settings) const;
    void write_settings_text(std::string_view text) const;
    void write_file(std::string_view relative, std::string_view content) const;
    void make_directory(std::string_view relative) const;
    bool exists(std::string_view relative) const;
    // The file's bytes, or nothing when it cannot be read.
    std::optional<std::string> read_file(std::string_view relative) const;

private:
    std::filesystem::path path_;
};

// The real server binary, running with a workspace as its current directory.
// Standard input is a pipe that the test types into; standard output and
// standard error are drained all the time by a reader thread, so the server
// never blocks on them. The destructor ends the process by its id (SIGTERM,
// then SIGKILL) and reaps it; output on standard error fails the test.
class ServerProcess {
public:
    explicit ServerProcess(const std::filesystem::path& directory);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int pid() const { return pid_; }

    // True once a socket on `port` is listening. Fails at once (false) when the
    // process has ended. The probe opens no connection, so it leaves no trace
    // in the server's log.
    bool wait_listening(std::uint16_t port, Milliseconds timeout = 5000ms);

    // Everything written to standard output (the console) so far.
    std::string console() const;
    std::string errors() const;
    bool wait_console_contains(std::string_view text, Milliseconds timeout = 5000ms) const;

    // Types on the console.
    void type(std::string_view text);
    // Closes standard input: the end of input.
    void close_input();

    // The exit code once the process has ended by itself within `timeout`
    // (-1 for a death by signal), or nothing while it still runs.
    std::optional<int> wait_exit(Milliseconds timeout = 5000ms);
    bool running();

    // Output on standard error is expected; the test checks it itself.
    void allow_errors() { errors_allowed_ = true; }

private:
    void reap(int options);
    void drain_output();
    void stop();

    int pid_ = -1;
    std::optional<int> exit_code_;
    int input_fd_ = -1;
    int output_fd_ = -1;
    int error_fd_ = -1;
    bool errors_allowed_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string console_;
    std::string errors_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

// How a read from the server ended.
enum class End {
    closed,    // the server closed the connection (end of file)
    reset,     // the connection was reset
    timed_out, // the connection is still open at the deadline
};

struct Received {
    std::string bytes;
    End end = End::timed_out;
};

// A raw TCP client on loopback. Sends exact bytes and returns exact bytes.
class Client {
public:
    // Connects to 127.0.0.1:port, first binding to `source` (any address of
    // 127.0.0.0/8) so the server sees that peer address. Check connected().
    explicit Client(std::uint16_t port, const char* source = "127.0.0.1");
    ~Client();
    Client(Client&& other) noexcept;
    Client& operator=(Client&&) = delete;
    Client(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }

    // Sends all of `bytes`; false when the connection refused some of them.
    bool send(std::string_view bytes);
    // Sends `bytes` in pieces of `piece` bytes with `pause` between them.
    bool send_in_pieces(std::string_view bytes, std::size_t piece, Milliseconds pause);

    // Reads until the server closes the connection or `timeout` passes.
    Received read_until_closed(Milliseconds timeout = 5000ms);

    // Shuts down the sending direction: the server sees the end of the request.
    void half_close();
    // Closes with SO_LINGER 0, so the server sees the connection reset.
    void reset();
    void close();

private:
    int fd_ = -1;
};

// A socket listening on 127.0.0.1:port for as long as it lives, so that the
// server cannot bind the port.
class PortHolder {
public:
    explicit PortHolder(std::uint16_t port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    int fd_ = -1;
};

// Connects, sends `request` and reads the reply until the server closes.
Received request_reply(std::uint16_t port, std::string_view request,
                       const char* source = "127.0.0.1", Milliseconds timeout = 5000ms);

// The records of a log file, split on "\r\n", each checked for its 24-byte time
// stamp "%4d/%02d/%02d %02d:%02d:%02d.%03d ".
struct LogRecords {
    std::vector<std::string> messages; // the records without stamp and CR LF
    std::string problem;               // empty when every byte belongs to a record
};
LogRecords parse_log(std::string_view bytes);

// The log file LOGNAME of a workspace and its rotated predecessor LOGNAME.old.
class Log {
public:
    explicit Log(const Workspace& workspace, std::string name = "httpd.log");

    bool exists() const;
    bool old_exists() const;
    // The messages of the log file; a malformed file fails the test. A missing
    // file has no messages.
    std::vector<std::string> messages() const;
    std::vector<std::string> old_messages() const;

    // Waits until the log file holds at least `count` whole records.
    bool wait_for_records(std::size_t count, Milliseconds timeout = 5000ms) const;
    // Waits until some record of the log file satisfies `match`.
    bool wait_for(const std::function<bool(const std::string&)>& match,
                  Milliseconds timeout = 5000ms) const;
    bool wait_for_message(const std::string& message, Milliseconds timeout = 5000ms) const;

private:
    std::vector<std::string> messages_of(const std::filesystem::path& file) const;
    // The messages of the whole records now in the file, without failing on a
    // record that is still being written.
    std::vector<std::string> settled_messages() const;

    std::filesystem::path path_;
};

// Runs `condition` every 10 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, Milliseconds timeout);

// Base of the tests that run one server: a workspace with htdocs/ and cgi-bin/,
// a free port and the server started on it.
class ServerTest : public ::testing::Test {
protected:
    ServerTest();
    void TearDown() override;

    // Writes the settings with HTTPPORT added to [SERVER], starts the server and
    // waits until it listens. Use through ASSERT_NO_FATAL_FAILURE.
    void start(Settings settings = {});
    // Starts the server without waiting for it to listen.
    void launch();

    Workspace workspace;
    std::uint16_t port;
    std::unique_ptr<ServerProcess> server;
    Log log;
};

} // namespace blackbox
