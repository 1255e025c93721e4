// FIXME: stub until this piece is built.
#include "cgi/cgi_target.h"

void classify_cgi_url(RequestContext&, const ServerSettings&) {}
void build_perl_command(RequestContext&) {}
bool is_cgi_request(const RequestContext&) { return false; }
void build_cgi_command_line(RequestContext&, const ServerSettings&) {}
