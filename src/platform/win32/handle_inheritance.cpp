#include "platform/win32/handle_inheritance.h"

namespace platform::win32 {

std::mutex& handle_inheritance_lock() {
    static std::mutex lock;
    return lock;
}

} // namespace platform::win32
