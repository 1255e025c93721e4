// FIXME: stub until this piece is built.
#include "dispatch/listener.h"

namespace { std::array<char, host_name_size> process_host_name{}; }
const std::array<char, host_name_size>& host_name() { return process_host_name; }
void set_free_slots(std::int32_t) {}
int start_listener(ConnectionHandler) { return -1; }
int stop_listener() { return 1; }
