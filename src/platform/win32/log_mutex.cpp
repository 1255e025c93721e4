#include "platform/log_mutex.h"

#include "common/blocking.h"

#include <utility>
#include <windows.h>

namespace platform {

namespace {

// System-wide, so that every process of the server writes its access lines
// under the same lock.
constexpr const char* log_mutex_name = "Mutex Qor 777";

} // namespace

LogMutexHandle::~LogMutexHandle() {
    if (handle_)
        ::CloseHandle(static_cast<HANDLE>(handle_));
}

LogMutexHandle::LogMutexHandle(LogMutexHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

LogMutexHandle& LogMutexHandle::operator=(LogMutexHandle&& other) noexcept {
    if (this != &other) {
        if (handle_)
            ::CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

LockResult LogMutexHandle::lock() {
    if (!handle_)
        return LockResult::failed;
    // Another process of the server may hold the lock: a wait that can last
    // lets the waiting thread's hook run first.
    DWORD result = ::WaitForSingleObject(static_cast<HANDLE>(handle_), 0);
    if (result == WAIT_TIMEOUT) {
        about_to_block();
        result = ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
    }
    switch (result) {
    case WAIT_OBJECT_0:
        return LockResult::acquired;
    case WAIT_ABANDONED:
        return LockResult::abandoned;
    default:
        return LockResult::failed;
    }
}

void LogMutexHandle::unlock() {
    if (handle_)
        (void)::ReleaseMutex(static_cast<HANDLE>(handle_));
}

LogMutexHandle LogMutexHandle::create() {
    // Not inheritable: no CGI child holds the lock's name open.
    return LogMutexHandle(::CreateMutexA(nullptr, FALSE, log_mutex_name));
}

LogMutexHandle LogMutexHandle::open() {
    return LogMutexHandle(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, log_mutex_name));
}

} // namespace platform
