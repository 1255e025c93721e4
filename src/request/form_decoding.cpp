#include "request/form_decoding.h"

#include "common/fixed_text.h"
#include "request/request_context.h"

#include <cstdint>

namespace {

// Lead bytes of code page 932: such a byte and the one after it form one
// character, so a '+' or '%' right behind one is that character's second half.
bool is_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Calls `visit` with the offset of every character of `text` that stands by
// itself, stepping over each lead byte together with the byte it hides. A lead
// byte that ends the text is a character of its own.
template <typename Visit> void for_each_single_byte_character(std::string_view text, Visit visit) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) {
            ++i;
            continue;
        }
        visit(i);
    }
}

// Any byte counts as a digit: letters from 'A' up fold to upper case and count
// from 10, everything else counts from '0'. Out-of-range bytes give whatever the
// arithmetic gives, modulo 256.
std::uint8_t digit_value(char c) {
    auto byte = static_cast<std::uint8_t>(c);
    if (byte >= 0x41)
        return static_cast<std::uint8_t>((byte & 0xDF) - 55);
    return static_cast<std::uint8_t>(byte - 48);
}

std::uint8_t hex_value(char high, char low) {
    return static_cast<std::uint8_t>(16 * digit_value(high) + digit_value(low));
}

// A '%' counts as an escape only with two characters behind it; otherwise it
// is kept as it stands.
bool escape_complete_at(std::string_view text, std::size_t i) {
    return text[i] == '%' && i + 2 < text.size();
}

// Copies `text` up to its first NUL into `field`, cut to what the field holds.
void store_decoded(std::span<char> field, const std::string &text) {
    (void)copy_into(field, std::string_view(text.c_str()));
}

} // namespace

void euc_pair_to_sjis(unsigned char &first, unsigned char &second) {
    first = static_cast<unsigned char>(first + 0x80);
    second = static_cast<unsigned char>(second + 0x80);
    if (first & 1) {
        first = static_cast<unsigned char>((first >> 1) + 0x71);
        second = static_cast<unsigned char>(second + 0x1F);
        if (second >= 0x7F)
            second = static_cast<unsigned char>(second + 1);
    } else {
        first = static_cast<unsigned char>((first >> 1) + 0x70);
        second = static_cast<unsigned char>(second + 0x7E);
    }
    if (first > 0x9F)
        first = static_cast<unsigned char>(first + 0x40);
}

std::string decode_form_text(std::string_view input) {
    std::string text(input);
    bool has_percent = false;
    for_each_single_byte_character(text, [&](std::size_t i) {
        if (text[i] == '+')
            text[i] = ' ';
        else if (text[i] == '%')
            has_percent = true;
    });
    if (!has_percent)
        return text;

    // Escapes are taken in pairs: an EUC-JP character arrives as two escapes,
    // or as one escape followed by the raw second byte.
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (!escape_complete_at(text, i)) {
            result.push_back(text[i]);
            ++i;
            continue;
        }
        unsigned char first = hex_value(text[i + 1], text[i + 2]);
        i += 3;
        if (i == text.size() || (text[i] == '%' && !escape_complete_at(text, i))) {
            // Half of a pair with nothing to pair it with: kept as it is.
            result.push_back(static_cast<char>(first));
            continue;
        }
        unsigned char second;
        if (text[i] == '%') {
            second = hex_value(text[i + 1], text[i + 2]);
            i += 3;
        } else {
            second = static_cast<unsigned char>(text[i]);
            i += 1;
        }
        if (first >= 0xA0)
            euc_pair_to_sjis(first, second);
        result.push_back(static_cast<char>(first));
        result.push_back(static_cast<char>(second));
    }
    return result;
}

void extract_body(RequestContext &context) {
    clear_text(context.raw_body);
    clear_text(context.decoded_body);
    std::string_view head = text_of(context.request_head);
    std::size_t start = head.find("\r\n\r\n");
    if (start == std::string_view::npos)
        start = head.find("\r\n"); // no blank line: the body starts behind the request line
    if (start == std::string_view::npos)
        return;

    // Bytes that read below 32 as signed chars go at both ends: control bytes,
    // and with them every byte from 0x80 up.
    auto skipped = [](char c) { return static_cast<signed char>(c) < 32; };
    while (start < head.size() && skipped(head[start]))
        ++start;
    (void)copy_into(context.raw_body, head.substr(start));
    std::string_view body = text_of(context.raw_body);
    std::size_t length = body.size();
    while (length > 0 && skipped(body[length - 1]))
        context.raw_body[--length] = '\0';

    store_decoded(context.decoded_body, decode_form_text(text_of(context.raw_body)));
}

void extract_query(RequestContext &context) {
    clear_text(context.query);
    std::string_view url = text_of(context.url);
    std::size_t mark = url.find('?');
    if (mark == std::string_view::npos)
        return;
    store_decoded(context.query, decode_form_text(url.substr(mark + 1)));
}
