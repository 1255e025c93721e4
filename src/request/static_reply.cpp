// FIXME: stub until this piece is built.
#include "request/static_reply.h"
#include "request/request_context.h"

bool has_dot_dot_segment(std::string_view) { return false; }
void map_local_path(RequestContext&, const ServerSettings&) {}
void cut_at_question_mark(std::span<char>) {}
std::size_t format_reply_head(std::span<char>, std::int64_t) { return 0; }
ContentClass content_class(std::string_view) { return ContentClass::text; }
void send_static_reply(RequestContext&) {}
void send_not_found(RequestContext&) {}
