#include "cgi/environment_list.h"

#include "common/fixed_text.h"
#include "dispatch/listener.h"
#include "request/request_context.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace {

// Lead bytes of code page 932 on every platform, so that the order of a block
// does not depend on the locale of the machine.
bool is_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Full-width a to z, compared as full-width A to Z.
constexpr unsigned full_width_lower_a = 0x8281;
constexpr unsigned full_width_lower_z = 0x829A;
constexpr unsigned full_width_case_distance = 0x8281 - 0x8260;

// Reads the character at `position`, folded for comparison, and moves past it.
// Returns nothing at the end of the text; a lead byte without its second byte
// counts as the end.
std::optional<unsigned> next_character(std::string_view text, std::size_t& position) {
    if (position >= text.size())
        return {};
    auto byte = static_cast<unsigned char>(text[position]);
    if (!is_lead_byte(byte)) {
        ++position;
        return byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte;
    }
    if (position + 1 >= text.size())
        return {};
    unsigned character = (unsigned{byte} << 8) | static_cast<unsigned char>(text[position + 1]);
    position += 2;
    if (character >= full_width_lower_a && character <= full_width_lower_z)
        character -= full_width_case_distance;
    return character;
}

const char* environment_value(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

int compare_entries(std::string_view left, std::string_view right) {
    std::size_t left_position = 0;
    std::size_t right_position = 0;
    for (;;) {
        std::optional<unsigned> left_character = next_character(left, left_position);
        std::optional<unsigned> right_character = next_character(right, right_position);
        if (!left_character || !right_character)
            return (left_character ? 1 : 0) - (right_character ? 1 : 0);
        if (*left_character != *right_character)
            return *left_character < *right_character ? -1 : 1;
    }
}

void EnvironmentList::add_entry(std::string name, std::string value) {
    std::string entry = std::move(name);
    entry += '=';
    entry += value;
    block_size_ += static_cast<std::int32_t>(entry.size() + 1);
    auto position = entries_.begin();
    while (position != entries_.end() && compare_entries(*position, entry) <= 0)
        ++position;
    entries_.insert(position, std::move(entry));
}

std::unique_ptr<char[]> EnvironmentList::build_block() const {
    std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<std::size_t>(block_size_)]);
    if (!block)
        return block;
    char* end = block.get();
    for (const std::string& entry : entries_) {
        std::memcpy(end, entry.data(), entry.size());
        end += entry.size();
        *end++ = '\0';
    }
    *end++ = '\0';
    // The block needs one byte less than block_size; that last byte is zeroed
    // too, so that no uninitialised byte is ever handed on.
    *end = '\0';
    return block;
}

void collect_cgi_variables(RequestContext& context, EnvironmentList& list) {
    list.add_entry("SERVER_SOFTWARE", std::string(server_software));
    list.add_entry("GATEWAY_INTERFACE", "CGI/1.1");
    // Whatever the request line named: the server speaks only this.
    list.add_entry("SERVER_PROTOCOL", "HTTP/1.0");
    list.add_entry("REQUEST_METHOD", std::string(text_of(context.method)));
    list.add_entry("QUERY_STRING", std::string(text_of(context.query)));
    list.add_entry("SERVER_NAME", std::string(text_of(host_name())));
    format_into(context.scratch_line, "%d", static_cast<int>(context.ticket.free_slots_at_start));
    list.add_entry("HTTP_THREAD_COUNT", std::string(text_of(context.scratch_line)));
    // Of the server's own environment the child sees only these two.
    list.add_entry("PATH", environment_value("PATH"));
    list.add_entry("SystemRoot", environment_value("SystemRoot"));
    // The length of the decoded body, which is what the child reads.
    std::size_t body_length = text_of(context.decoded_body).size();
    if (body_length == 0)
        return;
    format_into(context.scratch_line, "%d", static_cast<int>(body_length));
    list.add_entry("CONTENT_LENGTH", std::string(text_of(context.scratch_line)));
}
