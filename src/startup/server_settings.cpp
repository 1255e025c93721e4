// FIXME: stub until this piece is built.
#include "startup/server_settings.h"

ServerSettings default_settings() { return {}; }
ServerSettings parse_settings(std::string_view) { return {}; }
ServerSettings read_settings_file(const char*) { return {}; }
namespace { ServerSettings process_settings; }
const ServerSettings& server_settings() { return process_settings; }
void install_settings(const ServerSettings& settings) { process_settings = settings; }
std::int64_t cgi_time_limit_ms(const ServerSettings&) { return 0; }
std::int64_t handler_time_limit_ms(const ServerSettings&) { return 0; }
