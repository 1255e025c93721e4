#include "platform/file.h"

#include <vector>
#include <windows.h>

namespace platform {

namespace {

HANDLE handle_of(const File& file) {
    return reinterpret_cast<HANDLE>(file.get());
}

File file_of(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    return File(reinterpret_cast<std::intptr_t>(handle));
}

// The piece read from a file and handed to the connection at a time: the
// memory of a transfer, whatever the size of the file.
constexpr DWORD transfer_piece = 65536;

} // namespace

void File::close() {
    if (handle_ == invalid_handle)
        return;
    ::CloseHandle(reinterpret_cast<HANDLE>(release()));
}

File open_regular_file(const char* path, std::uint64_t& size) {
    // Shared with writers too, so that a page being replaced can still be
    // served. Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    File file = file_of(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return {};
    // A console, a printer port or a pipe under a file's name is not a file.
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(handle_of(file)) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(handle_of(file), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {};
    size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    return file;
}

int send_file(Socket& socket, File& file, std::uint64_t count, Deadline deadline) {
    std::vector<char> buffer(transfer_piece);
    std::uint64_t remaining = count;
    while (remaining > 0) {
        DWORD wanted = remaining < transfer_piece ? static_cast<DWORD>(remaining) : transfer_piece;
        DWORD read = 0;
        if (!::ReadFile(handle_of(file), buffer.data(), wanted, &read, nullptr) || read == 0)
            return -1; // the file ended before `count` bytes
        if (send_all(socket, std::span<const char>(buffer.data(), read), deadline) != 0)
            return -1;
        remaining -= read;
    }
    return 0;
}

File open_log_file(const char* path) {
    // Share mode 0: while a record is written, nobody else has the file open.
    return file_of(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<std::uint64_t> seek_to_end(File& file) {
    LARGE_INTEGER distance{};
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(handle_of(file), distance, &end, FILE_END) || end.QuadPart < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(end.QuadPart);
}

bool write_file(File& file, std::span<const char> bytes) {
    while (!bytes.empty()) {
        DWORD piece = bytes.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(handle_of(file), bytes.data(), piece, &written, nullptr) || written == 0)
            return false;
        bytes = bytes.subspan(written);
    }
    return true;
}

bool flush_file(File& file) {
    return ::FlushFileBuffers(handle_of(file)) != 0;
}

bool remove_file(const char* path) {
    return ::DeleteFileA(path) != 0;
}

bool rename_file(const char* from, const char* to) {
    return ::MoveFileA(from, to) != 0;
}

bool path_exists(const char* path) {
    // The attributes rather than a directory search: a search would take '*'
    // and '?' in a request's path as wildcards and find some other file.
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

} // namespace platform
