#pragma once

#include <string>
#include <string_view>

struct RequestContext;

// URL-decodes form text: '+' becomes a space, %XX escapes become bytes, taken
// in pairs, and an escaped EUC-JP pair (first byte 0xA0 or above) becomes its
// Shift_JIS pair. Nothing is rejected, and nothing is read past the text.
std::string decode_form_text(std::string_view text);

// Converts one EUC-JP byte pair to the Shift_JIS pair of the same character, in
// place.
void euc_pair_to_sjis(unsigned char& first, unsigned char& second);

// Fills raw_body and decoded_body from request_head.
void extract_body(RequestContext& context);
// Fills query from the text behind url's first '?'.
void extract_query(RequestContext& context);
