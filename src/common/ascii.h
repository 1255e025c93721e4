#pragma once

#include <cstddef>
#include <string_view>

// Case folding of ASCII letters only: the bytes of a Shift_JIS pair must never
// be folded, and no locale may decide.
inline char ascii_lower(char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

// True when the texts are equal but for the case of ASCII letters.
inline bool equal_ignoring_ascii_case(std::string_view left, std::string_view right) {
    if (left.size() != right.size())
        return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (ascii_lower(left[i]) != ascii_lower(right[i]))
            return false;
    return true;
}
