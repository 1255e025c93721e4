#pragma once

// What differs between the platforms in the texts the server forms, and in the
// names its file system gives a meaning of its own.

#include <string_view>

namespace platform {

#ifdef _WIN32
// The separator between a directory and a name in paths the server forms.
inline constexpr char path_separator = '\\';
// Default document and CGI directories.
inline constexpr const char* default_document_directory = "c:\\";
inline constexpr const char* default_cgi_directory = "c:\\";
// The interpreter of a Perl script without a "#!" line.
inline constexpr const char* default_perl_interpreter = "perl.exe";

// True when the file system would not take `mapped`, the part of a request's
// URL that is mapped under the document directory, as a plain path there: a
// ':' (a drive or a file's stream), a device name (CON, NUL, COM1, with or
// without an extension) in any segment, or, while `script_extensions_selected`,
// a last segment whose extension is ".cgi" or ".pl" in another case, which the
// case-blind file system would serve as the script's source.
bool mapped_path_reserved(std::string_view mapped, bool script_extensions_selected);
#else
inline constexpr char path_separator = '/';
// Relative to the current directory, so that the settings file and the log
// beside them are not served.
inline constexpr const char* default_document_directory = "htdocs";
inline constexpr const char* default_cgi_directory = "cgi-bin";
// Found on PATH.
inline constexpr const char* default_perl_interpreter = "perl";

// Every name is a plain path here.
inline bool mapped_path_reserved(std::string_view, bool) {
    return false;
}
#endif

} // namespace platform
