#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace blackbox {

std::string bytes_of(std::initializer_list<unsigned char> values) {
    std::string text;
    for (unsigned char value : values)
        text.push_back(static_cast<char>(value));
    return text;
}

namespace texts {
const std::string started =
    bytes_of({0x8B, 0x4E, 0x93, 0xAE, 0x82, 0xB5, 0x82, 0xDC, 0x82, 0xB5, 0x82, 0xBD, 0x81, 0x42});
const std::string ended =
    bytes_of({0x8F, 0x49, 0x97, 0xB9, 0x82, 0xB5, 0x82, 0xDC, 0x82, 0xB5, 0x82, 0xBD, 0x81, 0x42});
const std::string start_banner = " Tevrano-Brakka-WWWServer1.2 " + started + "\n";
const std::string stop_banner = " Tevrano-Brakka-WWWServer1.2 " + ended + "\n";
const std::string access_refused =
    bytes_of({0x83, 0x41, 0x83, 0x4E, 0x83, 0x5A, 0x83, 0x58, 0x8B, 0x96, 0x89, 0xC2, 0x82, 0xB3,
              0x82, 0xEA, 0x82, 0xC4, 0x82, 0xA2, 0x82, 0xDC, 0x82, 0xB9, 0x82, 0xF1, 0x81, 0x42});
const std::string client_cancelled =
    bytes_of({0x83, 0x4E, 0x83, 0x89, 0x83, 0x43, 0x83, 0x41, 0x83, 0x93, 0x83, 0x67, 0x91,
              0xA4, 0x82, 0xC5, 0x83, 0x4C, 0x83, 0x83, 0x83, 0x93, 0x83, 0x5A, 0x83, 0x8B,
              0x82, 0xB3, 0x82, 0xEA, 0x82, 0xDC, 0x82, 0xB5, 0x82, 0xBD, 0x81, 0x42});
} // namespace texts

bool eventually(const std::function<bool()>& condition, Milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

namespace {

// A test that writes to a server which has just died must see EPIPE, not die.
// The server itself starts with the default disposition (see ServerProcess).
const bool sigpipe_ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

sockaddr_in loopback_address(const char* text, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

// True when /proc/net/<table> shows a listening socket on `port`.
bool listening_in(const char* table, std::uint16_t port) {
    std::ifstream file(std::string("/proc/net/") + table);
    std::string line;
    std::getline(file, line); // column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        auto colon = local.rfind(':');
        if (colon == std::string::npos || state != "0A")
            continue;
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port)
            return true;
    }
    return false;
}

} // namespace

std::uint16_t free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback_address("127.0.0.1", 0);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// ---- Workspace ----

Workspace::Workspace() {
    std::string pattern = (std::filesystem::temp_directory_path() / "httpd-system-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot make a temporary directory: " << std::strerror(errno);
    path_ = pattern;
}

Workspace::~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void Workspace::write_settings(const Settings& settings) const {
    std::string text;
    for (const auto& [section, keys] : settings) {
        text += "[" + section + "]\n";
        for (const auto& [key, value] : keys)
            text += key + "=" + value + "\n";
    }
    write_settings_text(text);
}

void Workspace::write_settings_text(std::string_view text) const {
    write_file("vostrel.ini", text);
}

void Workspace::write_file(std::string_view relative, std::string_view content) const {
    std::ofstream file(path_ / relative, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file)
        ADD_FAILURE() << "cannot write " << (path_ / relative);
}

void Workspace::make_directory(std::string_view relative) const {
    std::error_code error;
    std::filesystem::create_directories(path_ / relative, error);
    if (error)
        ADD_FAILURE() << "cannot make " << (path_ / relative) << ": " << error.message();
}

bool Workspace::exists(std::string_view relative) const {
    std::error_code ignored;
    return std::filesystem::exists(path_ / relative, ignored);
}

std::optional<std::string> Workspace::read_file(std::string_view relative) const {
    std::ifstream file(path_ / relative, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return std::move(content).str();
}

// ---- ServerProcess ----

ServerProcess::ServerProcess(const std::filesystem::path& directory) {
    int input[2], output[2], error[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 ||
        ::pipe2(error, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make pipes: " << std::strerror(errno);
        return;
    }
    // Everything the child needs is prepared before fork: between fork and
    // exec it may only make async-signal-safe calls.
    std::string directory_text = directory.string();
    // HTTPD_BINARY and HTTPD_LAUNCHER in the environment run another build of
    // the server, e.g. the Windows one through "wine".
    const char* binary = std::getenv("HTTPD_BINARY");
    if (binary == nullptr || *binary == '\0')
        binary = HTTPD_BINARY;
    const char* launcher = std::getenv("HTTPD_LAUNCHER");
    if (launcher != nullptr && *launcher == '\0')
        launcher = nullptr;
    char* const direct[] = {const_cast<char*>(binary), nullptr};
    char* const launched[] = {const_cast<char*>(launcher), const_cast<char*>(binary), nullptr};

    pid_ = ::fork();
    if (pid_ == 0) {
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &default_action, nullptr);
        if (::chdir(directory_text.c_str()) != 0 || ::dup2(input[0], 0) < 0 ||
            ::dup2(output[1], 1) < 0 || ::dup2(error[1], 2) < 0)
            ::_exit(126);
        if (launcher)
            ::execvp(launcher, launched);
        else
            ::execv(binary, direct);
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(error[1]);
    input_fd_ = input[1];
    output_fd_ = output[0];
    error_fd_ = error[0];
    if (pid_ < 0) {
        ADD_FAILURE() << "cannot start " << binary << ": " << std::strerror(errno);
        return;
    }
    reader_ = std::thread([this] { drain_output(); });
}

ServerProcess::~ServerProcess() {
    stop();
    if (!errors_allowed_ && !errors_.empty())
        ADD_FAILURE() << "the server wrote to standard error:\n" << errors_;
}

void ServerProcess::stop() {
    if (pid_ > 0 && !exit_code_) {
        ::kill(pid_, SIGTERM);
        if (!wait_exit(2000ms)) {
            ::kill(pid_, SIGKILL);
            reap(0);
        }
    }
    if (input_fd_ >= 0)
        ::close(input_fd_);
    input_fd_ = -1;
    stopping_ = true;
    if (reader_.joinable())
        reader_.join();
    if (output_fd_ >= 0)
        ::close(output_fd_);
    if (error_fd_ >= 0)
        ::close(error_fd_);
    output_fd_ = error_fd_ = -1;
}

// Runs on the reader thread until both outputs reach end of file, or until the
// process is gone and nothing more arrives (a child of the server might still
// hold a copy of the pipes).
void ServerProcess::drain_output() {
    pollfd watched[2] = {{output_fd_, POLLIN, 0}, {error_fd_, POLLIN, 0}};
    std::string* buffers[2] = {&console_, &errors_};
    int open_count = 2;
    while (open_count > 0) {
        int ready = ::poll(watched, 2, 20);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0) {
            if (stopping_)
                break;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0)
                continue;
            char chunk[4096];
            ssize_t count = ::read(watched[i].fd, chunk, sizeof chunk);
            if (count <= 0) {
                watched[i].fd = -1;
                --open_count;
                continue;
            }
            std::lock_guard lock(mutex_);
            buffers[i]->append(chunk, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
    }
}

std::string ServerProcess::console() const {
    std::lock_guard lock(mutex_);
    return console_;
}

std::string ServerProcess::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

bool ServerProcess::wait_console_contains(std::string_view text, Milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return console_.find(text) != std::string::npos; });
}

void ServerProcess::type(std::string_view text) {
    while (input_fd_ >= 0 && !text.empty()) {
        ssize_t count = ::write(input_fd_, text.data(), text.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            ADD_FAILURE() << "cannot type on the console: " << std::strerror(errno);
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(count));
    }
}

void ServerProcess::close_input() {
    if (input_fd_ >= 0)
        ::close(input_fd_);
    input_fd_ = -1;
}

void ServerProcess::reap(int options) {
    if (pid_ <= 0 || exit_code_)
        return;
    int status = 0;
    pid_t result;
    do
        result = ::waitpid(pid_, &status, options);
    while (result < 0 && errno == EINTR);
    if (result == pid_)
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<int> ServerProcess::wait_exit(Milliseconds timeout) {
    eventually(
        [&] {
            reap(WNOHANG);
            return exit_code_.has_value();
        },
        timeout);
    return exit_code_;
}

bool ServerProcess::running() {
    reap(WNOHANG);
    return pid_ > 0 && !exit_code_;
}

bool ServerProcess::wait_listening(std::uint16_t port, Milliseconds timeout) {
    bool listening = false;
    eventually(
        [&] {
            listening = listening_in("tcp", port) || listening_in("tcp6", port);
            return listening || !running();
        },
        timeout);
    return listening && running();
}

// ---- Client ----

Client::Client(std::uint16_t port, const char* source) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot make a socket: " << std::strerror(errno);
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local = loopback_address(source, 0);
    sockaddr_in server = loopback_address("127.0.0.1", port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        ADD_FAILURE() << "cannot connect from " << source << " to port " << port << ": "
                      << std::strerror(errno);
        close();
    }
}

Client::Client(Client&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

Client::~Client() {
    close();
}

bool Client::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return fd_ >= 0;
}

bool Client::send_in_pieces(std::string_view bytes, std::size_t piece, Milliseconds pause) {
    while (!bytes.empty()) {
        std::size_t size = std::min(piece, bytes.size());
        if (!send(bytes.substr(0, size)))
            return false;
        bytes.remove_prefix(size);
        if (!bytes.empty())
            std::this_thread::sleep_for(pause);
    }
    return true;
}

Received Client::read_until_closed(Milliseconds timeout) {
    Received received;
    auto deadline = Clock::now() + timeout;
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return received;
        pollfd watched{fd_, POLLIN, 0};
        int ready = ::poll(&watched, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char chunk[4096];
        ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
        if (count > 0) {
            received.bytes.append(chunk, static_cast<std::size_t>(count));
        } else if (count == 0) {
            received.end = End::closed;
            return received;
        } else if (errno != EINTR) {
            received.end = End::reset;
            return received;
        }
    }
    return received;
}

void Client::half_close() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

void Client::reset() {
    if (fd_ < 0)
        return;
    linger abort_on_close{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

void Client::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

PortHolder::PortHolder(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback_address("127.0.0.1", port);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 1) != 0)
        ADD_FAILURE() << "cannot hold port " << port << ": " << std::strerror(errno);
}

PortHolder::~PortHolder() {
    if (fd_ >= 0)
        ::close(fd_);
}

Received request_reply(std::uint16_t port, std::string_view request, const char* source,
                       Milliseconds timeout) {
    Client client(port, source);
    if (!client.send(request))
        ADD_FAILURE() << "the request could not be sent whole";
    return client.read_until_closed(timeout);
}

// ---- Log ----

namespace {

bool has_stamp_shape(std::string_view record) {
    // "%4d/%02d/%02d %02d:%02d:%02d.%03d "
    static constexpr std::string_view shape = "dddd/dd/dd dd:dd:dd.ddd ";
    if (record.size() < shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        bool digit = record[i] >= '0' && record[i] <= '9';
        if (shape[i] == 'd' ? !digit : record[i] != shape[i])
            return false;
    }
    return true;
}

} // namespace

LogRecords parse_log(std::string_view bytes) {
    LogRecords records;
    std::size_t index = 0;
    while (!bytes.empty()) {
        auto end = bytes.find("\r\n");
        if (end == std::string_view::npos) {
            records.problem = "record " + std::to_string(index) +
                              " has no CR LF: " + std::string(bytes.substr(0, 80));
            return records;
        }
        std::string_view record = bytes.substr(0, end);
        if (!has_stamp_shape(record)) {
            records.problem = "record " + std::to_string(index) +
                              " has no time stamp: " + std::string(record.substr(0, 80));
            return records;
        }
        records.messages.emplace_back(record.substr(24));
        bytes.remove_prefix(end + 2);
        ++index;
    }
    return records;
}

Log::Log(const Workspace& workspace, std::string name) : path_(workspace.path() / name) {}

bool Log::exists() const {
    std::error_code ignored;
    return std::filesystem::exists(path_, ignored);
}

bool Log::old_exists() const {
    std::error_code ignored;
    return std::filesystem::exists(path_.string() + ".old", ignored);
}

std::vector<std::string> Log::messages_of(const std::filesystem::path& file) const {
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        return {};
    std::ostringstream content;
    content << stream.rdbuf();
    LogRecords records = parse_log(content.str());
    if (!records.problem.empty())
        ADD_FAILURE() << file << " is malformed: " << records.problem;
    return records.messages;
}

std::vector<std::string> Log::messages() const {
    return messages_of(path_);
}

std::vector<std::string> Log::old_messages() const {
    return messages_of(path_.string() + ".old");
}

std::vector<std::string> Log::settled_messages() const {
    std::ifstream stream(path_, std::ios::binary);
    if (!stream)
        return {};
    std::ostringstream content;
    content << stream.rdbuf();
    std::string bytes = std::move(content).str();
    auto end = bytes.rfind("\r\n");
    return parse_log(std::string_view(bytes).substr(0, end == std::string::npos ? 0 : end + 2))
        .messages;
}

bool Log::wait_for_records(std::size_t count, Milliseconds timeout) const {
    return eventually([&] { return settled_messages().size() >= count; }, timeout);
}

bool Log::wait_for(const std::function<bool(const std::string&)>& match,
                   Milliseconds timeout) const {
    return eventually(
        [&] {
            for (const auto& message : settled_messages())
                if (match(message))
                    return true;
            return false;
        },
        timeout);
}

bool Log::wait_for_message(const std::string& message, Milliseconds timeout) const {
    return wait_for([&](const std::string& candidate) { return candidate == message; }, timeout);
}

// ---- ServerTest ----

ServerTest::ServerTest() : port(free_loopback_port()), log(workspace) {
    workspace.make_directory("htdocs");
    workspace.make_directory("cgi-bin");
}

namespace {

// The end of a long text, enough to see what went wrong last.
std::string tail_of(const std::string& text) {
    constexpr std::size_t shown = 3000;
    return text.size() <= shown ? text : "..." + text.substr(text.size() - shown);
}

} // namespace

void ServerTest::TearDown() {
    if (HasFailure() && server)
        std::cerr << "console of the server:\n"
                  << tail_of(server->console()) << "\nlog of the server:\n"
                  << tail_of(workspace.read_file("httpd.log").value_or("(none)")) << "\n";
}

void ServerTest::start(Settings settings) {
    settings["SERVER"]["HTTPPORT"] = std::to_string(port);
    workspace.write_settings(settings);
    launch();
    ASSERT_TRUE(server->wait_listening(port))
        << "the server does not listen on " << port << "; console:\n"
        << server->console() << "\nerrors:\n"
        << server->errors();
}

void ServerTest::launch() {
    server = std::make_unique<ServerProcess>(workspace.path());
}

} // namespace blackbox
