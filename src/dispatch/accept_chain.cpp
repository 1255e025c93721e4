#include "dispatch/accept_chain.h"

#include "logging/write_log.h"
#include "platform/console.h"
#include "platform/log_mutex.h"
#include "platform/process.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

struct ChainState {
    ChainState(platform::Socket socket, const ChainSettings& chain_settings)
        : settings(chain_settings), listener(std::move(socket)),
          free_slots(chain_settings.max_thread) {}

    const ChainSettings settings;
    // Read by the waiting worker and by stop(); closed only when the last
    // holder of the state lets go of it.
    platform::Socket listener;

    // Guards every field below; `changed` is notified whenever one of them
    // changes or a handler ends.
    mutable std::mutex mutex;
    std::condition_variable changed;
    // Settings value less the number of workers that have taken a slot and not
    // given it back. Only ever counted under `mutex`, so the subtract-and-test
    // of a new worker is indivisible.
    std::int32_t free_slots;
    // Workers started and not yet ended; stop() waits for it to reach 0.
    int live_workers = 0;
    bool stopping = false;
};

namespace {

// Counting with wrap-around: a setting near the bottom of the 32-bit range
// must not make the counter overflow.
std::int32_t minus_one(std::int32_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) - 1u);
}
std::int32_t plus_one(std::int32_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1u);
}

[[noreturn]] void stop_process(std::string_view console_text, std::string_view log_text) {
    platform::console_write(console_text);
    write_log(log_text);
    platform::exit_process(0);
}

void accept_worker(std::shared_ptr<ChainState> chain);

// Starts a worker on a detached thread. Nobody joins a worker: each accounts
// for its own end by giving back its slot and leaving `live_workers`, and
// keeps the chain state alive through its own reference until then.
void start_worker(const std::shared_ptr<ChainState>& chain, std::string_view failure_log_text) {
    {
        std::lock_guard lock(chain->mutex);
        ++chain->live_workers;
    }
    try {
        std::thread(accept_worker, chain).detach();
    } catch (const std::exception&) {
        stop_process("ERROR Th1\n", failure_log_text);
    }
}

// Takes a slot. When the count reaches exactly 0 the worker waits until a slot
// is given back, without subtracting again. Returns false when the chain is
// stopped while the worker waits; the slot is then still the worker's.
bool take_slot(ChainState& chain) {
    std::unique_lock lock(chain.mutex);
    chain.free_slots = minus_one(chain.free_slots);
    if (chain.free_slots != 0)
        return true;
    chain.changed.wait(lock, [&] { return chain.free_slots != 0 || chain.stopping; });
    return !chain.stopping;
}

void give_back_slot(ChainState& chain) {
    std::lock_guard lock(chain.mutex);
    chain.free_slots = plus_one(chain.free_slots);
    chain.changed.notify_all();
}

bool is_stopping(ChainState& chain) {
    std::lock_guard lock(chain.mutex);
    return chain.stopping;
}

// Waits without a time limit for the next connection. Returns an invalid
// socket when accepting failed or the chain was stopped.
platform::Accepted wait_for_connection(ChainState& chain) {
    for (;;) {
        platform::Accepted accepted = platform::accept_connection(chain.listener, no_deadline);
        if (accepted.socket.valid() || accepted.error != platform::error_would_block)
            return accepted;
        // A connection that went away before it was taken, or the wake-up of
        // stop(), after which every accept fails at once.
        if (is_stopping(chain))
            return accepted;
    }
}

// One handler's run, as its supervising worker sees it.
struct HandlerRun {
    ConnectionTicket ticket;
    bool ended = false; // guarded by the chain's mutex
};

void run_handler(ChainState& chain, HandlerRun& run) {
    try {
        chain.settings.handler(run.ticket);
    } catch (const std::exception&) {
        // The handler's failure is that connection's alone; the worker closes it.
    }
    std::lock_guard lock(chain.mutex);
    run.ended = true;
    chain.changed.notify_all();
}

// Waits for the handler until the ticket's deadline or a stop. Returns true
// when it ended by itself.
bool wait_for_handler(ChainState& chain, HandlerRun& run) {
    std::unique_lock lock(chain.mutex);
    auto over = [&] { return run.ended || chain.stopping; };
    if (run.ticket.deadline == no_deadline)
        chain.changed.wait(lock, over);
    else
        chain.changed.wait_until(lock, run.ticket.deadline, over);
    return run.ended;
}

void serve(ChainState& chain, platform::Accepted accepted) {
    // Kept open until the handler has ended, so that the log mutex exists
    // whenever the handler opens it by name.
    platform::LogMutexHandle log_mutex = platform::LogMutexHandle::create();
    HandlerRun run;
    run.ticket.socket = std::move(accepted.socket);
    if (log_mutex.valid()) {
        run.ticket.peer_address = accepted.peer_address;
        {
            std::lock_guard lock(chain.mutex);
            run.ticket.free_slots_at_start = chain.free_slots;
        }
        run.ticket.deadline = deadline_after(chain.settings.handler_time_limit_ms);
        // The handler thread belongs to this worker, which joins it on every
        // path before the ticket it lends goes away.
        std::thread handler;
        try {
            handler = std::thread(run_handler, std::ref(chain), std::ref(run));
        } catch (const std::exception&) {
            stop_process("Error Create Thread\n", "http Thread Create Error!\n");
        }
        if (!wait_for_handler(chain, run)) {
            // Overdue: nothing more may leave for the client, and shutting both
            // directions down shows the client the close on time and wakes the
            // handler wherever it waits on the connection. Every other wait of
            // the handler ends by the same deadline, so the join is short. The
            // socket stays open until the join: the handler never meets a
            // closed or reused descriptor.
            run.ticket.cancelled = true;
            platform::shutdown_both(run.ticket.socket);
        }
        handler.join();
    }
    platform::shutdown_send(run.ticket.socket);
    run.ticket.socket.close();
}

void accept_worker(std::shared_ptr<ChainState> chain) {
    if (take_slot(*chain)) {
        platform::Accepted accepted = wait_for_connection(*chain);
        // The successor waits for the next connection while this one is
        // served. A stopped chain starts none, so that the chain runs out.
        if (!is_stopping(*chain))
            start_worker(chain, "Http timer Thread Create Error!\n");
        if (accepted.socket.valid())
            serve(*chain, std::move(accepted));
    }
    give_back_slot(*chain);
    std::lock_guard lock(chain->mutex);
    --chain->live_workers;
    chain->changed.notify_all();
}

} // namespace

AcceptChain::AcceptChain(platform::Socket listener, const ChainSettings& settings)
    : state_(std::make_shared<ChainState>(std::move(listener), settings)) {}

AcceptChain::~AcceptChain() {
    stop();
}

void AcceptChain::start() {
    start_worker(state_, "Initial Thread Create Error!\n");
}

void AcceptChain::wait_until_stopped() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->stopping; });
}

void AcceptChain::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->changed.notify_all();
    }
    platform::wake_listener(state_->listener);
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->live_workers == 0; });
}

std::int32_t AcceptChain::free_slots() const {
    std::lock_guard lock(state_->mutex);
    return state_->free_slots;
}

std::uint16_t AcceptChain::port() const {
    return platform::local_port(state_->listener);
}
