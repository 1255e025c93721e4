#pragma once

#include "dispatch/connection_ticket.h"
#include "platform/socket.h"

#include <cstdint>
#include <memory>

// What one accept chain runs with.
struct ChainSettings {
    ConnectionHandler handler = nullptr;
    // The starting value of `free_slots`: at most max_thread - 1 connections are
    // in service at once; 1 accepts nothing; 0 or less sets no bound.
    std::int32_t max_thread = 0;
    // How long a handler may run before its worker cancels it.
    std::int64_t handler_time_limit_ms = 0;
};

struct ChainState;

// The chain of accept workers on one listening socket. Exactly one worker at a
// time waits for the next connection; once it has one it starts its successor
// and runs the connection's handler, which the chain's watchdog cancels when it
// overstays its limit. Workers run on pooled threads, so a connection under a
// steady load creates no thread. The successor is counted at once but finds
// its thread only when the handler is about to wait; a handler that does not
// wait leaves its own thread to the successor.
//
// The server runs one chain for the life of the process and never stops it;
// tests run chains on loopback ports of their own and stop them.
class AcceptChain {
public:
    // Takes over `listener`, which must already listen.
    AcceptChain(platform::Socket listener, const ChainSettings& settings);
    // Stops the chain.
    ~AcceptChain();
    AcceptChain(const AcceptChain&) = delete;
    AcceptChain& operator=(const AcceptChain&) = delete;

    // Starts the first accept worker. A thread that cannot be started ends the
    // process, after the console text and the log line of that failure.
    void start();

    // Blocks until stop() is called from another thread.
    void wait_until_stopped();

    // Stops accepting, cancels the handlers in service as if they had
    // overstayed their limit, and returns once every worker has ended. Safe to
    // call more than once.
    void stop();

    // The current value of the chain's `free_slots`.
    std::int32_t free_slots() const;

    // The port the chain listens on.
    std::uint16_t port() const;

private:
    // Shared with every worker, each of which holds it until its very end:
    // workers are detached, so the state must outlive the chain object when a
    // worker is still leaving.
    std::shared_ptr<ChainState> state_;
};
