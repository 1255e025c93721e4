#include "platform/child_process.h"

#include "platform/win32/handle_inheritance.h"
#include "platform/win32/wait_time.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include <windows.h>

namespace platform {
namespace {

// Owns one handle; closes it on destruction. Move-only.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { close(); }
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    void close() {
        if (handle_)
            ::CloseHandle(std::exchange(handle_, nullptr));
    }

private:
    HANDLE handle_ = nullptr;
};

// The server's end of one pipe to the child, opened for overlapped transfers so
// that the runner waits on the child's end, its output and its input at once.
// A transfer still under way when the end goes is cancelled and completed
// first: the system writes into `state_` and the buffer until then.
class ServerEnd {
public:
    ServerEnd() = default;
    ~ServerEnd() { close(); }
    ServerEnd(const ServerEnd&) = delete;
    ServerEnd& operator=(const ServerEnd&) = delete;

    bool open(Handle pipe) {
        pipe_ = std::move(pipe);
        done_ = Handle(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        return pipe_.valid() && done_.valid();
    }
    bool valid() const { return pipe_.valid(); }
    bool busy() const { return busy_; }
    HANDLE done_event() const { return done_.get(); }

    // Starts a read or a write. False when it failed at once; `error` tells why.
    bool start_read(char* buffer, DWORD size, DWORD& error) {
        return start(::ReadFile(pipe_.get(), buffer, size, nullptr, prepared()), error);
    }
    bool start_write(const char* bytes, DWORD size, DWORD& error) {
        return start(::WriteFile(pipe_.get(), bytes, size, nullptr, prepared()), error);
    }

    // True once the transfer under way has ended; `count` and `succeeded` tell
    // how. Never waits.
    bool finished(DWORD& count, bool& succeeded, DWORD& error) {
        if (::WaitForSingleObject(done_.get(), 0) != WAIT_OBJECT_0)
            return false;
        busy_ = false;
        count = 0;
        succeeded = ::GetOverlappedResult(pipe_.get(), &state_, &count, FALSE) != 0;
        error = succeeded ? 0 : ::GetLastError();
        return true;
    }

    void close() {
        if (busy_) {
            (void)::CancelIoEx(pipe_.get(), &state_);
            DWORD ignored = 0;
            (void)::GetOverlappedResult(pipe_.get(), &state_, &ignored, TRUE);
            busy_ = false;
        }
        pipe_.close();
    }

private:
    OVERLAPPED* prepared() {
        state_ = OVERLAPPED{};
        state_.hEvent = done_.get();
        (void)::ResetEvent(done_.get());
        return &state_;
    }
    bool start(BOOL completed, DWORD& error) {
        error = completed ? 0 : ::GetLastError();
        // Either way the event is set once the transfer has ended.
        busy_ = completed || error == ERROR_IO_PENDING;
        return busy_;
    }

    Handle pipe_;
    Handle done_;
    OVERLAPPED state_{};
    bool busy_ = false;
};

// Owns one started child. A child still running when its owner goes, on
// whatever path, is ended and waited for, so no child is left to the server.
class ChildProcess {
public:
    explicit ChildProcess(HANDLE process) : process_(process) {}
    ~ChildProcess() { end(); }
    ChildProcess(ChildProcess&&) = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    HANDLE get() const { return process_.get(); }
    // The child has ended and is waited for.
    void ended() { process_.close(); }
    void end() {
        if (!process_.valid())
            return;
        (void)::TerminateProcess(process_.get(), 0);
        (void)::WaitForSingleObject(process_.get(), INFINITE);
        process_.close();
    }

private:
    Handle process_;
};

struct ChildEnds {
    ServerEnd output; // the server reads the child's output here
    ServerEnd input;  // the server writes the child's input here
    // The child's standard input, kept by the server for the whole run: the
    // input must not fail merely because the child ended before reading it.
    Handle child_input;
};

std::atomic<unsigned long> pipe_counter{0};

// A pipe of which the server's end is overlapped and not inheritable, and the
// child's end an ordinary inheritable handle. An anonymous pipe cannot be read
// or written overlapped, so the pipe has a name of its own, known to nobody
// else and accepting one client only. `inbound`: the server reads.
bool make_pipe(bool inbound, DWORD buffer_size, ServerEnd& server, Handle& child) {
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\httpd-cgi-%lu-%lu",
                  static_cast<unsigned long>(::GetCurrentProcessId()), ++pipe_counter);
    DWORD access = (inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                   FILE_FLAG_FIRST_PIPE_INSTANCE;
    Handle server_pipe(::CreateNamedPipeA(
        name, access, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        1, inbound ? 0 : buffer_size, inbound ? buffer_size : 0, 0, nullptr));
    if (!server_pipe.valid() || !server.open(std::move(server_pipe)))
        return false;
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof inheritable;
    inheritable.bInheritHandle = TRUE;
    child = Handle(::CreateFileA(name, inbound ? GENERIC_WRITE : GENERIC_READ, 0, &inheritable,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return child.valid();
}

// Starts the child on fresh pipes. From the pipes' creation to the process's
// start, and until the child's ends are no longer inheritable in the server, no
// other run may start a child: it would inherit them, and a copy of the
// output's write end would hold the pipe open past this child's end.
std::optional<ChildProcess> start_child(const ChildRun& run, ChildEnds& ends) {
    // The process creation may write into the command line.
    std::vector<char> command_line(run.command_line.begin(), run.command_line.end());
    command_line.push_back('\0');
    // The block ends with an empty entry; a second one more guards a block that
    // holds no entry at all.
    std::vector<char> environment(run.environment_block.begin(), run.environment_block.end());
    environment.insert(environment.end(), 2, '\0');

    std::lock_guard lock(win32::handle_inheritance_lock());
    Handle child_output;
    if (!make_pipe(true, 65536, ends.output, child_output) ||
        !make_pipe(false, 0, ends.input, ends.child_input))
        return std::nullopt;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ends.child_input.get();
    startup.hStdOutput = child_output.get();
    startup.hStdError = child_output.get();
    PROCESS_INFORMATION started{};
    BOOL created = ::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0,
                                    environment.data(), run.working_directory, &startup, &started);
    // The child has its copies now. The server's copy of the output's write end
    // goes, so that the pipe ends when the child ends; its copy of the input's
    // read end stays, but no later child may inherit it.
    child_output.close();
    (void)::SetHandleInformation(ends.child_input.get(), HANDLE_FLAG_INHERIT, 0);
    if (!created)
        return std::nullopt;
    ::CloseHandle(started.hThread);
    return ChildProcess(started.hProcess);
}

enum class Collected { more, end_of_output, over_cap };

// Keeps what a finished read brought and starts the next one. Nothing beyond
// the cap is ever kept: one byte beyond it is enough to know it was passed.
class OutputCollector {
public:
    OutputCollector(ServerEnd& end, std::vector<char>& output, std::size_t cap)
        : end_(end), output_(output), cap_(cap) {}

    // Starts the first read.
    Collected start() { return next(); }

    // Gives back the room of a read that was cancelled: the output is what
    // was read.
    void finish() { output_.resize(kept_); }

    // Takes a finished read, if there is one, and starts the next.
    Collected step() {
        DWORD count = 0;
        bool succeeded = false;
        DWORD error = 0;
        if (!end_.finished(count, succeeded, error))
            return Collected::more;
        return take(count, succeeded);
    }

private:
    Collected take(DWORD count, bool succeeded) {
        output_.resize(kept_ + count);
        kept_ += count;
        if (kept_ > cap_)
            return Collected::over_cap;
        if (!succeeded)
            return Collected::end_of_output; // the pipe broke: every writer has gone
        return next();
    }

    Collected next() {
        constexpr std::size_t piece = 65536;
        std::size_t room = cap_ - kept_ < piece ? cap_ - kept_ + 1 : piece;
        output_.resize(kept_ + room);
        DWORD error = 0;
        if (!end_.start_read(output_.data() + kept_, static_cast<DWORD>(room), error)) {
            output_.resize(kept_);
            return Collected::end_of_output;
        }
        return Collected::more;
    }

    ServerEnd& end_;
    std::vector<char>& output_;
    std::size_t cap_;
    std::size_t kept_ = 0;
};

// Feeds the child its input, drains its output and waits for its end, all in
// one wait, until the child ends or the time limit passes.
ChildRunStatus supervise(ChildProcess& child, ChildEnds& ends, const ChildRun& run,
                         std::vector<char>& output) {
    std::span<const char> pending = run.input;
    // Closing the server's end tells the child that its input is complete, so
    // a child that reads to the end of its input finishes.
    auto write_next = [&]() -> bool {
        if (pending.empty()) {
            ends.input.close();
            return true;
        }
        DWORD piece = pending.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(pending.size());
        DWORD error = 0;
        return ends.input.start_write(pending.data(), piece, error);
    };
    if (!write_next())
        return ChildRunStatus::write_failed;

    OutputCollector collector(ends.output, output, run.output_cap);
    Collected collected = collector.start();
    if (collected == Collected::over_cap)
        return ChildRunStatus::output_too_large;
    if (collected == Collected::end_of_output)
        ends.output.close();

    for (;;) {
        HANDLE watched[3];
        DWORD count = 0;
        watched[count++] = child.get();
        if (ends.output.valid() && ends.output.busy())
            watched[count++] = ends.output.done_event();
        if (ends.input.valid() && ends.input.busy())
            watched[count++] = ends.input.done_event();
        DWORD result = ::WaitForMultipleObjects(count, watched, FALSE,
                                                win32::milliseconds_until(run.time_limit));
        if (result == WAIT_FAILED)
            return ChildRunStatus::timed_out; // the wait itself failed

        if (ends.input.valid() && ends.input.busy()) {
            DWORD written = 0;
            bool succeeded = false;
            DWORD error = 0;
            if (ends.input.finished(written, succeeded, error)) {
                if (!succeeded)
                    return ChildRunStatus::write_failed;
                pending = pending.subspan(written);
                if (!write_next())
                    return ChildRunStatus::write_failed;
            }
        }
        if (ends.output.valid()) {
            collected = collector.step();
            if (collected == Collected::over_cap)
                return ChildRunStatus::output_too_large;
            if (collected == Collected::end_of_output)
                ends.output.close();
        }

        if (::WaitForSingleObject(child.get(), 0) == WAIT_OBJECT_0) {
            // What the child wrote is in the pipe by now: a read finishes at
            // once while bytes are there. Anything later comes from programs it
            // left behind, which must not hold the reply.
            while (ends.output.valid() && ends.output.busy()) {
                collected = collector.step();
                if (collected == Collected::over_cap)
                    return ChildRunStatus::output_too_large;
                if (collected == Collected::end_of_output ||
                    ::WaitForSingleObject(ends.output.done_event(), 0) != WAIT_OBJECT_0)
                    break;
            }
            ends.output.close();
            collector.finish();
            child.ended();
            return ChildRunStatus::finished;
        }
        if (run.time_limit != no_deadline && Clock::now() >= run.time_limit)
            return ChildRunStatus::timed_out;
    }
}

ChildRunStatus run_started_child(const ChildRun& run, std::vector<char>& output) {
    ChildEnds ends;
    std::optional<ChildProcess> child = start_child(run, ends);
    if (!child)
        return ChildRunStatus::start_failed;
    try {
        ChildRunStatus status = supervise(*child, ends, run, output);
        // The transfers end before the child is ended and before the output
        // they write into is given back.
        ends.input.close();
        ends.output.close();
        if (status != ChildRunStatus::finished)
            output.clear();
        return status;
    } catch (const std::bad_alloc&) {
        ends.input.close();
        ends.output.close();
        output.clear();
        return ChildRunStatus::output_too_large;
    }
}

} // namespace

ChildRunStatus run_child(const ChildRun& run, std::vector<char>& output) {
    output.clear();
    try {
        return run_started_child(run, output);
    } catch (const std::bad_alloc&) {
        output.clear();
        return ChildRunStatus::start_failed;
    }
}

} // namespace platform
