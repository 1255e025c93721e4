#include "platform/process.h"

#include <cstring>
#include <windows.h>

namespace platform {

namespace {

constexpr const char* service_key = "SYSTEM\\CurrentControlSet\\Services\\DorirAzovide";
constexpr DWORD image_path_limit = 512;

} // namespace

// Sockets report a send to a closed connection as an error; there is no
// signal to set aside.
bool prepare_process() {
    return true;
}

void exit_process(int code) {
    // At once, without the library's exit routines: handler threads may hold
    // locks that those routines would wait for.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    ::ExitProcess(static_cast<UINT>(code));
}

std::optional<std::string> service_image_path() {
    HKEY key = nullptr;
    if (::RegOpenKeyA(HKEY_LOCAL_MACHINE, service_key, &key) != ERROR_SUCCESS)
        return std::nullopt;
    // A value that cannot be read leaves the path empty: the key exists, so
    // the service's directory is taken to be the root of the current drive.
    char value[image_path_limit] = {};
    DWORD size = sizeof value;
    (void)::RegQueryValueExA(key, "ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                             &size);
    ::RegCloseKey(key);
    return std::string(value, ::strnlen(value, sizeof value));
}

bool current_directory(std::span<char> directory) {
    if (directory.empty())
        return false;
    DWORD size = directory.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(directory.size());
    DWORD length = ::GetCurrentDirectoryA(size, directory.data());
    // A directory that does not fit reports the size it needs instead.
    return length > 0 && length < size;
}

} // namespace platform
