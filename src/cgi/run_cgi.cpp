// FIXME: stub until this piece is built.
#include "cgi/run_cgi.h"

std::optional<std::size_t> cgi_header_block_length(std::span<const char>) { return {}; }
void run_cgi(RequestContext&) {}
