// FIXME: stub until this piece is built.
#include "logging/access_record.h"
#include "request/request_context.h"

void begin_refused_line(AccessRecord&, const std::array<int, 4>&) {}
void begin_receive_failure_line(AccessRecord&, const std::array<int, 4>&, int) {}
void begin_method_refused_line(AccessRecord&, const std::array<int, 4>&, std::string_view) {}
void begin_request_line(AccessRecord&, const std::array<int, 4>&, std::string_view) {}
void append_text(AccessRecord&, std::string_view) {}
void append_client_text(AccessRecord&, std::string_view) {}
std::string_view finish_access_line(const AccessRecord&, std::string_view, std::span<char>) { return {}; }
void write_access_record(RequestContext&) {}
