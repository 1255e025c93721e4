#include "startup/server_settings.h"

#include "common/ascii.h"
#include "common/fixed_text.h"
#include "platform/conventions.h"

#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>

// The settings file follows the rules of the Windows profile routines, so one
// file reads the same on every platform: section and key names match in any
// case, only the first section of a name and the first key of a name within it
// count, blanks around names and values are dropped, one pair of enclosing
// quotes is removed from a value, and lines whose first non-blank character is
// ';' are comments. A missing file, section or key gives the default.

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view next_line(std::string_view& rest) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return line;
}

// The name of a section line "[name]", or nothing for any other line. A
// section line without its ']' names what follows the '['.
std::optional<std::string_view> section_name(std::string_view line) {
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    return trim(line.substr(0, line.find(']')));
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// The value of `key` in the first section named `section`: trimmed, unquoted.
std::optional<std::string_view> find_value(std::string_view contents, std::string_view section,
                                           std::string_view key) {
    bool in_section = false;
    bool section_seen = false;
    while (!contents.empty()) {
        std::string_view line = trim(next_line(contents));
        if (line.empty() || line.front() == ';')
            continue;
        if (std::optional<std::string_view> name = section_name(line)) {
            if (section_seen)
                return std::nullopt; // a later section of the same name is never read
            in_section = equal_ignoring_ascii_case(*name, section);
            section_seen = in_section;
            continue;
        }
        if (!in_section)
            continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        if (equal_ignoring_ascii_case(trim(line.substr(0, equals)), key))
            return unquote(trim(line.substr(equals + 1)));
    }
    return std::nullopt;
}

void read_text(std::string_view contents, std::string_view section, std::string_view key,
               std::span<char> field) {
    if (std::optional<std::string_view> value = find_value(contents, section, key))
        (void)copy_into(field, *value); // a longer value keeps what fits, by design
}

// Integers read as the profile routines read them: a key that is missing or
// empty keeps its default; any other value is an optional sign and the decimal
// digits that follow it, the rest of the value ignored, so a value without
// digits reads as 0. Digits beyond 32 bits wrap, as they do there.
void read_integer(std::string_view contents, std::string_view section, std::string_view key,
                  std::int32_t& field) {
    std::optional<std::string_view> value = find_value(contents, section, key);
    if (!value || value->empty())
        return;
    std::string_view text = *value;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint32_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        number = number * 10u + static_cast<std::uint32_t>(c - '0');
    }
    if (negative)
        number = 0u - number;
    field = static_cast<std::int32_t>(number);
}

// A limit in milliseconds of `factor` x CGITIMEOUT. The largest wait is
// 2,147,483,647 ms. A negative CGITIMEOUT, which the profile routines'
// unsigned product turns into a wait of weeks, means that longest wait; a
// product beyond it is held at it rather than wrapped round to a short wait.
std::int64_t time_limit_ms(std::int32_t seconds, std::int64_t factor) {
    constexpr std::int64_t longest = 2147483647;
    if (seconds < 0)
        return longest;
    std::int64_t product = seconds * factor;
    return product > longest ? longest : product;
}

ServerSettings process_settings = default_settings();

} // namespace

ServerSettings default_settings() {
    ServerSettings settings;
    (void)copy_into(settings.WEBROOT, platform::default_document_directory);
    (void)copy_into(settings.WEBCGI, platform::default_cgi_directory);
    (void)copy_into(settings.CGINAME, "--");
    (void)copy_into(settings.CGIDIR, "PROTECT");
    settings.HTTPPORT = 8080;
    settings.CGITIMEOUT = 60;
    settings.MAXTHREAD = 10;
    (void)copy_into(settings.LOGNAME, "httpd.log");
    settings.log_switch_bytes = 0;
    (void)copy_into(settings.ACCEPTIP_INNER, "127.0.0.1");
    (void)copy_into(settings.ACCEPTIP_OUTER, "127.0.0.1");
    return settings;
}

ServerSettings parse_settings(std::string_view contents) {
    ServerSettings settings = default_settings();
    read_text(contents, "WWW", "WEBROOT", settings.WEBROOT);
    read_text(contents, "WWW", "WEBCGI", settings.WEBCGI);
    read_text(contents, "SECURITY", "CGINAME", settings.CGINAME);
    read_text(contents, "SECURITY", "CGIDIR", settings.CGIDIR);
    read_integer(contents, "SERVER", "HTTPPORT", settings.HTTPPORT);
    read_integer(contents, "SERVER", "CGITIMEOUT", settings.CGITIMEOUT);
    read_integer(contents, "SERVER", "MAXTHREAD", settings.MAXTHREAD);
    read_text(contents, "SERVER", "LOGNAME", settings.LOGNAME);
    std::int32_t log_switch = 0;
    read_integer(contents, "SERVER", "LOGSWITCH", log_switch);
    // Megabytes to bytes in 32 bits, as the limit is kept: 4096 gives 0.
    settings.log_switch_bytes = static_cast<std::uint32_t>(log_switch) << 20;
    read_text(contents, "SECURITY", "ACCEPTIP_INNER", settings.ACCEPTIP_INNER);
    read_text(contents, "SECURITY", "ACCEPTIP_OUTER", settings.ACCEPTIP_OUTER);
    return settings;
}

ServerSettings read_settings_file(const char* path) {
    struct CloseFile {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    // Binary mode: the bytes as stored, both line ends handled by the reader.
    std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path, "rb"));
    if (!file)
        return default_settings();
    try {
        std::string contents;
        std::array<char, 4096> chunk;
        std::size_t count;
        while ((count = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0)
            contents.append(chunk.data(), count);
        return parse_settings(contents);
    } catch (const std::bad_alloc&) {
        return default_settings();
    }
}

const ServerSettings& server_settings() {
    return process_settings;
}

void install_settings(const ServerSettings& settings) {
    process_settings = settings;
}

std::int64_t cgi_time_limit_ms(const ServerSettings& settings) {
    return time_limit_ms(settings.CGITIMEOUT, 1000);
}

std::int64_t handler_time_limit_ms(const ServerSettings& settings) {
    return time_limit_ms(settings.CGITIMEOUT, 2000);
}
