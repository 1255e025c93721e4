#include "request/request_head.h"

#include "common/ascii.h"
#include "common/fixed_text.h"
#include "request/request_context.h"

#include <limits>

namespace {

constexpr std::string_view blank_line = "\r\n\r\n";
// The white space that separates the fields of the request line. Line ends are
// among it, so a field missing from the request line comes from the next line.
constexpr std::string_view field_separators = " \t\n\v\f\r";

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A run of decimal digits and nothing else, within 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view digits) {
    if (digits.empty())
        return {};
    constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char digit : digits) {
        if (digit < '0' || digit > '9')
            return {};
        auto next = static_cast<std::uint64_t>(digit - '0');
        if (value > (largest - next) / 10)
            return {};
        value = value * 10 + next;
    }
    return value;
}

// The next field of the request line: white space skipped, then a run of
// anything else. `rest` moves past it.
std::string_view next_field(std::string_view& rest) {
    std::size_t start = rest.find_first_not_of(field_separators);
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    std::size_t end = rest.find_first_of(field_separators);
    if (end == std::string_view::npos)
        end = rest.size();
    std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    return field;
}

} // namespace

bool address_admitted(std::string_view peer_text, std::string_view prefix) {
    return peer_text.substr(0, prefix.size()) == prefix;
}

std::optional<std::size_t> head_end(std::span<const char> received) {
    if (received.size() < 5)
        return {};
    // A NUL ends the text that every later phase sees, so the search ends there too.
    std::size_t found = text_of(received).find(blank_line);
    if (found == std::string_view::npos)
        return {};
    return found + blank_line.size();
}

std::optional<std::uint64_t> declared_content_length(std::string_view head) {
    std::size_t end = head.find(blank_line);
    if (end != std::string_view::npos)
        head = head.substr(0, end + 2);
    std::size_t request_line_end = head.find('\n');
    if (request_line_end == std::string_view::npos)
        return {};
    std::string_view rest = head.substr(request_line_end + 1);

    // Two Content-Length lines that disagree leave the body's end unknown, so
    // such a head declares nothing.
    std::optional<std::uint64_t> declared;
    while (!rest.empty()) {
        std::size_t line_end = rest.find('\n');
        std::string_view line = rest.substr(0, line_end);
        rest = line_end == std::string_view::npos ? std::string_view{} : rest.substr(line_end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);

        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !equal_ignoring_ascii_case(line.substr(0, colon), "Content-Length"))
            continue;
        std::optional<std::uint64_t> value = parse_decimal(trim_blanks(line.substr(colon + 1)));
        if (!value || (declared && *declared != *value))
            return {};
        declared = value;
    }
    return declared;
}

RequestLineFit split_request_line(RequestContext& context) {
    std::string_view rest = text_of(context.request_head);
    std::string_view method = next_field(rest);
    std::string_view url = next_field(rest);
    std::string_view protocol = next_field(rest);

    // Each field keeps what fits, so that the access line can show it; a cut
    // method or URL is refused, never served.
    bool method_fits = copy_into(context.method, method);
    bool url_fits = copy_into(context.url, url);
    (void)copy_into(context.protocol, protocol);

    if (!method_fits)
        return RequestLineFit::method_too_long;
    if (!url_fits)
        return RequestLineFit::url_too_long;
    return RequestLineFit::fits;
}

std::string console_safe(std::string_view text) {
    std::string shown(text);
    for (char& byte : shown) {
        auto value = static_cast<unsigned char>(byte);
        bool control = value < 0x20 || value == 0x7F;
        if (control && byte != '\r' && byte != '\n' && byte != '\t')
            byte = '.';
    }
    return shown;
}
