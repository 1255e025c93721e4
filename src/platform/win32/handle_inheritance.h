#pragma once

// Process creation with inherited handles hands a child every inheritable
// handle of the process, not only the ones meant for it. Whoever makes a handle
// that is inheritable even for a moment, and whoever starts a child, does so
// under this one lock, so no child receives a handle of another run.

#include <mutex>

namespace platform::win32 {

std::mutex& handle_inheritance_lock();

} // namespace platform::win32
