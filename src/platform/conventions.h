#pragma once

// What differs between the platforms in the texts the server forms.

namespace platform {

#ifdef _WIN32
// The separator between a directory and a name in paths the server forms.
inline constexpr char path_separator = '\\';
// Default document and CGI directories.
inline constexpr const char* default_document_directory = "c:\\";
inline constexpr const char* default_cgi_directory = "c:\\";
// The interpreter of a Perl script without a "#!" line.
inline constexpr const char* default_perl_interpreter = "perl.exe";
#else
inline constexpr char path_separator = '/';
// Relative to the current directory, so that the settings file and the log
// beside them are not served.
inline constexpr const char* default_document_directory = "htdocs";
inline constexpr const char* default_cgi_directory = "cgi-bin";
// Found on PATH.
inline constexpr const char* default_perl_interpreter = "perl";
#endif

} // namespace platform
