#include "platform/log_mutex.h"

#include <mutex>

namespace platform {

namespace {

// Without named mutexes, the one lock of the process serves every handle. A
// handler thread is never ended from outside, so the lock is never abandoned.
std::mutex& process_log_mutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

// A handle only refers to the process's mutex; there is nothing to close.
LogMutexHandle::~LogMutexHandle() = default;

LogMutexHandle::LogMutexHandle(LogMutexHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
}

LogMutexHandle& LogMutexHandle::operator=(LogMutexHandle&& other) noexcept {
    if (this != &other) {
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

LockResult LogMutexHandle::lock() {
    if (!handle_)
        return LockResult::failed;
    static_cast<std::mutex*>(handle_)->lock();
    return LockResult::acquired;
}

void LogMutexHandle::unlock() {
    if (handle_)
        static_cast<std::mutex*>(handle_)->unlock();
}

LogMutexHandle LogMutexHandle::create() {
    return LogMutexHandle(&process_log_mutex());
}

LogMutexHandle LogMutexHandle::open() {
    return LogMutexHandle(&process_log_mutex());
}

} // namespace platform
