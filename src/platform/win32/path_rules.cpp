#include "platform/conventions.h"

#include "common/ascii.h"

#include <array>

namespace platform {

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The file system drops trailing dots and blanks of a name ("a.pl." opens
// a.pl), so they are dropped here too before a name is judged.
std::string_view without_trailing_dots_and_blanks(std::string_view name) {
    while (!name.empty() && (name.back() == '.' || name.back() == ' '))
        name.remove_suffix(1);
    return name;
}

// A device is opened by its name in any directory, whatever extension
// follows it and with blanks before the extension: "nul.txt", "CON .html".
bool names_a_device(std::string_view segment) {
    static constexpr std::array<std::string_view, 6> devices = {"CON", "PRN",    "AUX",
                                                                "NUL", "CONIN$", "CONOUT$"};
    std::string_view base = segment.substr(0, segment.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (std::string_view device : devices)
        if (equal_ignoring_ascii_case(base, device))
            return true;
    // COM1 to COM9, LPT1 to LPT9.
    return base.size() == 4 &&
           (equal_ignoring_ascii_case(base.substr(0, 3), "COM") ||
            equal_ignoring_ascii_case(base.substr(0, 3), "LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

// A script's extension in a case in which the selection does not see it.
bool script_extension_in_other_case(std::string_view segment) {
    std::string_view name = without_trailing_dots_and_blanks(segment);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string_view extension = name.substr(dot);
    for (std::string_view script : {std::string_view(".cgi"), std::string_view(".pl")})
        if (equal_ignoring_ascii_case(extension, script) && extension != script)
            return true;
    return false;
}

} // namespace

bool mapped_path_reserved(std::string_view mapped, bool script_extensions_selected) {
    if (mapped.find(':') != std::string_view::npos)
        return true;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= mapped.size(); ++i) {
        if (i < mapped.size() && !is_separator(mapped[i]))
            continue;
        std::string_view segment = mapped.substr(start, i - start);
        if (names_a_device(segment))
            return true;
        if (i == mapped.size() && script_extensions_selected &&
            script_extension_in_other_case(segment))
            return true;
        start = i + 1;
    }
    return false;
}

} // namespace platform
