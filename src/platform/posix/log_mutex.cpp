// FIXME: stub until this piece is built.
#include "platform/log_mutex.h"

namespace platform {
LogMutexHandle::~LogMutexHandle() = default;
LogMutexHandle::LogMutexHandle(LogMutexHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
LogMutexHandle& LogMutexHandle::operator=(LogMutexHandle&& other) noexcept { handle_ = other.handle_; other.handle_ = nullptr; return *this; }
LockResult LogMutexHandle::lock() { return LockResult::failed; }
void LogMutexHandle::unlock() {}
LogMutexHandle LogMutexHandle::create() { return {}; }
LogMutexHandle LogMutexHandle::open() { return {}; }
} // namespace platform
