#pragma once

// The lock that serialises the access lines of all handlers. Where the
// platform has named mutexes it is the system-wide mutex "Mutex Qor 777"; here
// every handle refers to one mutex of the process.

namespace platform {

enum class LockResult {
    acquired,  // the lock is owned normally
    abandoned, // owned, but its previous owner ended without releasing it
    failed,    // not owned
};

// One handle to the log mutex. Closed on destruction; a handle that owns the
// lock must release it first.
class LogMutexHandle {
public:
    LogMutexHandle() = default;
    ~LogMutexHandle();
    LogMutexHandle(LogMutexHandle&& other) noexcept;
    LogMutexHandle& operator=(LogMutexHandle&& other) noexcept;
    LogMutexHandle(const LogMutexHandle&) = delete;
    LogMutexHandle& operator=(const LogMutexHandle&) = delete;

    bool valid() const { return handle_ != nullptr; }
    // Waits without a time limit until the lock is owned.
    LockResult lock();
    void unlock();

    // Creates the mutex, or opens it when it exists (the accept worker, which
    // keeps it in existence while its handler runs). Invalid on failure.
    static LogMutexHandle create();
    // Opens the existing mutex by its name (the closing step). Invalid when no
    // mutex of that name exists.
    static LogMutexHandle open();

private:
    explicit LogMutexHandle(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

} // namespace platform
