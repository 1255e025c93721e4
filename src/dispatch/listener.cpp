#include "dispatch/listener.h"

#include "common/fixed_text.h"
#include "dispatch/accept_chain.h"
#include "platform/console.h"
#include "platform/socket.h"
#include "startup/server_settings.h"

#include <atomic>

namespace {

// Written once by start_listener before the first accept worker starts.
std::array<char, host_name_size> process_host_name{};

// The starting value of the process's `free_slots`, set by the main routine
// before the listener starts; the running count lives in the accept chain.
std::atomic<std::int32_t> initial_free_slots{0};

// A backlog of 5 drops connection attempts of a burst of clients, and each
// dropped attempt costs its client a retransmission of a second or more (200
// connections at once: a third unanswered after 10 s). The slot limit, not
// the backlog, decides how many connections are in service.
constexpr int listen_backlog = 128;

int fail_start(std::string_view console_text, int result, platform::Socket& socket) {
    platform::console_write(console_text);
    socket.close();
    platform::stop_sockets();
    return result;
}

} // namespace

const std::array<char, host_name_size>& host_name() {
    return process_host_name;
}

void set_free_slots(std::int32_t slots) {
    initial_free_slots = slots;
}

int start_listener(ConnectionHandler handler) {
    platform::Socket listener;
    if (platform::start_sockets() != 0)
        return fail_start("\nError in Startup session.\n", -1, listener);
    if (!platform::get_host_name(process_host_name))
        copy_into(process_host_name, "localhost");
    listener = platform::open_tcp_socket();
    if (!listener.valid())
        return fail_start("\nError in New a Socket.", -2, listener);
    const ServerSettings& settings = server_settings();
    if (!platform::bind_any(listener, listening_port(settings)))
        return fail_start("\n Error in Binding socket.", -3, listener);
    if (!platform::listen_on(listener, listen_backlog))
        return fail_start("\n Error in Listen.", -4, listener);

    // The chain, and with it the listening socket, lives in this frame for the
    // rest of the process: the main thread blocks here for good, and the
    // process ends only from outside.
    AcceptChain chain(std::move(listener),
                      {handler, initial_free_slots.load(), handler_time_limit_ms(settings)});
    chain.start();
    for (;;)
        chain.wait_until_stopped();
}

// The listening socket lives inside start_listener, which never returns once
// it listens; this is reached only after a failed start, which has already
// released the socket.
int stop_listener() {
    platform::stop_sockets();
    return 1;
}
