// FIXME: stub until this piece is built.
#include "request/form_decoding.h"
#include "request/request_context.h"

std::string decode_form_text(std::string_view text) { return std::string(text); }
void euc_pair_to_sjis(unsigned char&, unsigned char&) {}
void extract_body(RequestContext&) {}
void extract_query(RequestContext&) {}
