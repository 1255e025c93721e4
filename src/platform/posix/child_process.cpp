#include "platform/child_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

// Owns one descriptor; closes it on destruction. Move-only.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    void close() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read_end;
    Descriptor write_end;
};

// A descriptor numbered 0, 1 or 2 (the server was started with a standard
// stream closed) would be overwritten by the child's own redirections, or kept
// close-on-exec by a duplication onto itself, so it is moved above them.
bool lift_above_standard_streams(Descriptor &descriptor) {
    if (descriptor.get() > STDERR_FILENO)
        return true;
    int lifted = fcntl(descriptor.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (lifted < 0)
        return false;
    descriptor = Descriptor(lifted);
    return true;
}

// Close-on-exec is set as the pipe is made, in one step: a child that another
// handler starts at the same moment must never receive an end of this pipe,
// because its copy of the output's write end would hold the pipe open.
bool make_pipe(Pipe &pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    pipe.read_end = Descriptor(ends[0]);
    pipe.write_end = Descriptor(ends[1]);
    return lift_above_standard_streams(pipe.read_end) &&
           lift_above_standard_streams(pipe.write_end);
}

// Only the server's own end of a pipe is made non-blocking: each end is an open
// file of its own, so the child's ends keep blocking as a program expects.
bool make_non_blocking(Descriptor &descriptor) {
    int flags = fcntl(descriptor.get(), F_GETFL);
    return flags >= 0 && fcntl(descriptor.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// A descriptor that becomes readable when the process ends, so the exit is
// waited for in the same poll as the output pipe; invalid where the kernel
// offers none.
Descriptor open_exit_notice(pid_t pid) {
#ifdef SYS_pidfd_open
    // The notice is close-on-exec by the kernel's rule. The pid cannot name
    // another process while it is open: the child is not reaped before.
    return Descriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return Descriptor();
#endif
}

// Owns one started child. A child still running when its owner goes, on
// whatever path, is ended together with its process group and reaped, so no
// child is ever left to the server. Move-only.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid) : pid_(pid), exit_notice_(open_exit_notice(pid)) {}
    ~ChildProcess() { end(); }
    ChildProcess(ChildProcess &&other) noexcept
        : pid_(std::exchange(other.pid_, -1)), exit_notice_(std::move(other.exit_notice_)) {}
    ChildProcess &operator=(ChildProcess &&) = delete;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Readable once the child has ended; -1 when there is no such notice.
    int exit_notice() const { return exit_notice_.get(); }

    // True when the child has ended; it is then reaped. For use only where
    // there is no exit notice.
    bool has_ended() {
        int status = 0;
        pid_t result = waitpid(pid_, &status, WNOHANG);
        if (result == 0)
            return false;
        if (result < 0 && errno == EINTR)
            return false;
        pid_ = -1;
        return true;
    }

    // Ends the child and whatever else runs in its process group (the programs
    // it started), then reaps it. The group is signalled before the child is
    // reaped, while its number cannot yet belong to anyone else.
    void end() {
        if (pid_ < 0)
            return;
        (void)kill(-pid_, SIGKILL);
        // The child may have left its group.
        (void)kill(pid_, SIGKILL);
        reap();
    }

    // Waits for a child that has ended, or has been told to, and releases it.
    // Leaves its process group alone: programs it started may live on.
    void reap() {
        if (pid_ < 0)
            return;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    Descriptor exit_notice_;
};

// The command line split at runs of spaces and tabs. There is no quoting.
std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t position = 0;
    while (position < line.size()) {
        position = line.find_first_not_of(" \t", position);
        if (position == std::string_view::npos)
            break;
        std::size_t end = std::min(line.find_first_of(" \t", position), line.size());
        words.emplace_back(line.substr(position, end - position));
        position = end;
    }
    return words;
}

std::optional<std::string> current_directory_path() {
    std::string directory(256, '\0');
    for (;;) {
        if (getcwd(directory.data(), directory.size())) {
            directory.resize(directory.find('\0'));
            return directory;
        }
        if (errno != ERANGE)
            return std::nullopt;
        directory.resize(directory.size() * 2);
    }
}

// `path` itself when it is absolute, otherwise the server's current directory
// joined to it.
std::optional<std::string> absolute_path(std::string_view path) {
    if (!path.empty() && path.front() == '/')
        return std::string(path);
    auto directory = current_directory_path();
    if (!directory)
        return std::nullopt;
    if (path.empty())
        return directory;
    if (directory->back() != '/')
        directory->push_back('/');
    directory->append(path);
    return directory;
}

bool is_executable_file(const std::string &path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The file the child executes. The child starts in another directory, so the
// path must not depend on the working directory: a name with a '/' is taken
// from the server's current directory, a bare name is looked up on the
// server's own PATH (never on the child's, which is the request's).
std::optional<std::string> resolve_program(const std::string &word) {
    if (word.find('/') != std::string::npos)
        return absolute_path(word);
    const char *search = std::getenv("PATH");
    // The search list the C library's own lookup uses when PATH is unset.
    std::string_view directories = search ? search : "/bin:/usr/bin";
    for (;;) {
        std::size_t colon = directories.find(':');
        std::string_view directory = directories.substr(0, colon);
        std::string candidate(directory.empty() ? "." : directory);
        candidate.push_back('/');
        candidate.append(word);
        if (is_executable_file(candidate))
            return absolute_path(candidate);
        if (colon == std::string_view::npos)
            return std::nullopt;
        directories.remove_prefix(colon + 1);
    }
}

// Pointers to the entries of an environment block, ended by a null pointer.
// An entry is taken only when its terminator lies within the block.
std::vector<char *> environment_entries(std::span<const char> block) {
    std::vector<char *> entries;
    std::size_t position = 0;
    while (position < block.size() && block[position] != '\0') {
        auto terminator = std::find(block.begin() + position, block.end(), '\0');
        if (terminator == block.end())
            break;
        // The spawn call takes non-const pointers but never writes through them.
        entries.push_back(const_cast<char *>(block.data() + position));
        position = static_cast<std::size_t>(terminator - block.begin()) + 1;
    }
    entries.push_back(nullptr);
    return entries;
}

class SpawnSettings {
public:
    SpawnSettings() {
        actions_ready_ = posix_spawn_file_actions_init(&actions_) == 0;
        attributes_ready_ = posix_spawnattr_init(&attributes_) == 0;
    }
    ~SpawnSettings() {
        if (actions_ready_)
            posix_spawn_file_actions_destroy(&actions_);
        if (attributes_ready_)
            posix_spawnattr_destroy(&attributes_);
    }
    SpawnSettings(const SpawnSettings &) = delete;
    SpawnSettings &operator=(const SpawnSettings &) = delete;

    bool prepare(int input, int output, const char *working_directory) {
        if (!actions_ready_ || !attributes_ready_)
            return false;
        // Standard output and standard error are one pipe, so what the child
        // writes to either reaches the client in the order written.
        if (posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO) != 0 ||
            posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) != 0 ||
            posix_spawn_file_actions_adddup2(&actions_, output, STDERR_FILENO) != 0)
            return false;
        if (working_directory &&
            posix_spawn_file_actions_addchdir_np(&actions_, working_directory) != 0)
            return false;
        // The server's own signal handling (ignored SIGPIPE, blocked signals of
        // the calling thread) is not the child's business.
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        // A group of its own, so that a child ended at its time limit takes the
        // programs it started with it.
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
        return posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
               posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               posix_spawnattr_setpgroup(&attributes_, 0) == 0 &&
               posix_spawnattr_setflags(&attributes_, flags) == 0;
    }

    const posix_spawn_file_actions_t *actions() const { return &actions_; }
    const posix_spawnattr_t *attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
    bool actions_ready_ = false;
    bool attributes_ready_ = false;
};

// Starts the program of `run` on the given ends of its pipes. Nothing when it
// cannot be started; the C library reports a failed exec as a failed spawn, so
// then no child exists.
std::optional<ChildProcess> start_child(const ChildRun &run, int input, int output) {
    std::vector<std::string> words = split_words(run.command_line);
    if (words.empty())
        return std::nullopt;
    std::optional<std::string> program = resolve_program(words.front());
    if (!program)
        return std::nullopt;
    std::vector<char *> arguments;
    for (std::string &word : words)
        arguments.push_back(word.data());
    arguments.push_back(nullptr);
    std::vector<char *> environment = environment_entries(run.environment_block);

    SpawnSettings settings;
    if (!settings.prepare(input, output, run.working_directory))
        return std::nullopt;
    pid_t pid = -1;
    if (posix_spawn(&pid, program->c_str(), settings.actions(), settings.attributes(),
                    arguments.data(), environment.data()) != 0)
        return std::nullopt;
    return ChildProcess(pid);
}

// Milliseconds for poll until `limit`, rounded up so that the wait never ends
// just short of it; -1 for no limit.
int milliseconds_until(Deadline limit) {
    if (limit == no_deadline)
        return -1;
    auto left = limit - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(milliseconds)>(milliseconds, INT_MAX));
}

enum class ReadResult { would_block, end_of_output, over_cap };

// Reads what the pipe holds now into `output`, without waiting. A failed read
// counts as the end of the output.
ReadResult read_available(Descriptor &pipe, std::vector<char> &output, std::size_t cap) {
    constexpr std::size_t piece = 65536;
    for (;;) {
        std::size_t kept = output.size();
        // One byte beyond the cap is enough to know that the cap was passed.
        // Nothing beyond the cap is ever kept, so `kept` is at most `cap` here.
        std::size_t room = cap - kept < piece ? cap - kept + 1 : piece;
        output.resize(kept + room);
        ssize_t count = read(pipe.get(), output.data() + kept, room);
        output.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        if (count > 0) {
            if (output.size() > cap)
                return ReadResult::over_cap;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return ReadResult::would_block;
        return ReadResult::end_of_output;
    }
}

// Feeds the child its input, drains its output and waits for its end, all in
// one poll, until the child ends or the time limit passes.
ChildRunStatus supervise(ChildProcess &child, Pipe &input, Pipe &output_pipe, const ChildRun &run,
                         std::vector<char> &output) {
    std::span<const char> pending = run.input;
    // Closing the server's end tells the child that its input is complete, so
    // a child that reads to the end of its input finishes.
    if (pending.empty())
        input.write_end.close();
    // Without an exit notice the child's end is looked for at short intervals.
    constexpr int interval_without_notice = 10;

    for (;;) {
        pollfd watched[3];
        nfds_t count = 0;
        int output_slot = -1;
        int input_slot = -1;
        int exit_slot = -1;
        if (output_pipe.read_end.valid()) {
            output_slot = static_cast<int>(count);
            watched[count++] = {output_pipe.read_end.get(), POLLIN, 0};
        }
        if (input.write_end.valid()) {
            input_slot = static_cast<int>(count);
            watched[count++] = {input.write_end.get(), POLLOUT, 0};
        }
        if (child.exit_notice() >= 0) {
            exit_slot = static_cast<int>(count);
            watched[count++] = {child.exit_notice(), POLLIN, 0};
        }
        int timeout = milliseconds_until(run.time_limit);
        if (exit_slot < 0 && (timeout < 0 || timeout > interval_without_notice))
            timeout = interval_without_notice;

        int ready = poll(watched, count, timeout);
        if (ready < 0 && errno != EINTR)
            return ChildRunStatus::timed_out; // the wait itself failed

        if (ready > 0 && input_slot >= 0 && watched[input_slot].revents != 0) {
            ssize_t written = write(input.write_end.get(), pending.data(), pending.size());
            if (written > 0)
                pending = pending.subspan(static_cast<std::size_t>(written));
            else if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return ChildRunStatus::write_failed;
            if (pending.empty())
                input.write_end.close();
        }
        if (ready > 0 && output_slot >= 0 && watched[output_slot].revents != 0) {
            ReadResult result = read_available(output_pipe.read_end, output, run.output_cap);
            if (result == ReadResult::over_cap)
                return ChildRunStatus::output_too_large;
            if (result == ReadResult::end_of_output)
                output_pipe.read_end.close();
        }

        bool ended =
            exit_slot >= 0 ? ready > 0 && watched[exit_slot].revents != 0 : child.has_ended();
        if (ended) {
            // What the child wrote is in the pipe by now. Anything later comes
            // from programs it left behind, which must not hold the reply.
            if (output_pipe.read_end.valid() &&
                read_available(output_pipe.read_end, output, run.output_cap) ==
                    ReadResult::over_cap)
                return ChildRunStatus::output_too_large;
            child.reap();
            return ChildRunStatus::finished;
        }
        if (run.time_limit != no_deadline && Clock::now() >= run.time_limit)
            return ChildRunStatus::timed_out;
    }
}

ChildRunStatus run_started_child(const ChildRun &run, std::vector<char> &output) {
    Pipe input;
    Pipe output_pipe;
    if (!make_pipe(input) || !make_pipe(output_pipe) || !make_non_blocking(input.write_end) ||
        !make_non_blocking(output_pipe.read_end))
        return ChildRunStatus::start_failed;

    std::optional<ChildProcess> child =
        start_child(run, input.read_end.get(), output_pipe.write_end.get());
    if (!child)
        return ChildRunStatus::start_failed;
    // From here the child is the only writer of its output, so the pipe ends
    // when the child and what it started have closed it.
    output_pipe.write_end.close();
    // The server keeps its copy of the input's read end until the run is over:
    // a write to a pipe nobody reads would raise SIGPIPE, and the input must
    // not fail merely because the child ended before reading it.
    try {
        ChildRunStatus status = supervise(*child, input, output_pipe, run, output);
        if (status != ChildRunStatus::finished)
            output.clear();
        return status;
    } catch (const std::bad_alloc &) {
        // The output could not be kept; the child is ended as it unwinds.
        output.clear();
        return ChildRunStatus::output_too_large;
    }
}

} // namespace

ChildRunStatus run_child(const ChildRun &run, std::vector<char> &output) {
    output.clear();
    try {
        return run_started_child(run, output);
    } catch (const std::bad_alloc &) {
        // Only the preparation of a start allocates outside the supervision.
        output.clear();
        return ChildRunStatus::start_failed;
    }
}

} // namespace platform
