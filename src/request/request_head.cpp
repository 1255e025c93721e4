// FIXME: stub until this piece is built.
#include "request/request_head.h"
#include "request/request_context.h"

bool address_admitted(std::string_view, std::string_view) { return false; }
std::optional<std::size_t> head_end(std::span<const char>) { return {}; }
std::optional<std::uint64_t> declared_content_length(std::string_view) { return {}; }
RequestLineFit split_request_line(RequestContext&) { return RequestLineFit::fits; }
std::string console_safe(std::string_view text) { return std::string(text); }
