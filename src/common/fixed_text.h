#pragma once

// Fixed-size, NUL-terminated byte texts. Every size includes the terminator, so
// a field of N bytes holds at most N - 1 characters. Texts are bytes in one
// multibyte encoding (Shift_JIS), never UTF-8, and no locale call touches them.

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

// The text held by `field`: its bytes up to the first NUL, or the whole field
// when it holds none.
inline std::string_view text_of(std::span<const char> field) {
    const void* end = std::memchr(field.data(), '\0', field.size());
    std::size_t length = end ? static_cast<const char*>(end) - field.data() : field.size();
    return {field.data(), length};
}

// Replaces the text in `field` with `text`. Returns true when all of it fit;
// otherwise the field holds as much of it as fits, terminated.
inline bool copy_into(std::span<char> field, std::string_view text) {
    if (field.empty())
        return text.empty();
    std::size_t length = text.size() < field.size() ? text.size() : field.size() - 1;
    if (length != 0) // an empty view may hold no pointer at all
        std::memcpy(field.data(), text.data(), length);
    field[length] = '\0';
    return length == text.size();
}

// Appends `text` behind the text already in `field`. Returns true when all of it
// fit; otherwise as much as fits is appended, terminated.
inline bool append_into(std::span<char> field, std::string_view text) {
    std::size_t used = text_of(field).size();
    if (used == field.size())
        return text.empty();
    return copy_into(field.subspan(used), text);
}

// Formats into `field` like snprintf. Returns true when the whole result fit;
// otherwise the field holds the cut result, terminated.
__attribute__((format(printf, 2, 3))) inline bool format_into(std::span<char> field,
                                                              const char* format, ...) {
    if (field.empty())
        return false;
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(field.data(), field.size(), format, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < field.size();
}

// Makes the text in `field` empty.
inline void clear_text(std::span<char> field) {
    if (!field.empty())
        field[0] = '\0';
}
