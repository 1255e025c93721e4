#include "dispatch/accept_chain.h"

#include "common/blocking.h"
#include "logging/write_log.h"
#include "platform/console.h"
#include "platform/log_mutex.h"
#include "platform/process.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// One connection in service, as the chain sees it.
struct HandlerRun {
    ConnectionTicket ticket;
};

// A pool thread's own place in the chain. When it has no worker to run it
// waits on its own condition, so that starting a worker wakes exactly one
// thread. Places live as long as the chain and are reused by later threads,
// so a condition may be notified after the chain's mutex has been let go:
// the woken thread then finds the mutex free instead of blocking on it.
struct IdleThread {
    std::condition_variable wake;
    // Guarded by the chain's mutex.
    bool has_work = false;
    bool waits_for_slot = false; // the worker's slot was taken at exactly 0
};

// A worker counted and given its slot; `needs_thread` when no idle thread took
// it.
struct NewWorker {
    bool counted = false; // false when the chain is stopping
    bool waits_for_slot = false;
    bool needs_thread = false;
    IdleThread* woken = nullptr; // to be notified once the mutex is let go
};

// How long a pool thread waits for a worker to run before it ends: long enough
// to carry a steady load without creating threads, short enough that a burst
// leaves no crowd of threads behind.
constexpr auto idle_thread_limit = std::chrono::seconds(10);

} // namespace

struct ChainState {
    ChainState(platform::Socket socket, const ChainSettings& chain_settings)
        : settings(chain_settings), listener(std::move(socket)),
          free_slots(chain_settings.max_thread) {}

    const ChainSettings settings;
    // Read by the waiting worker and by stop(); closed only when the last
    // holder of the state lets go of it.
    platform::Socket listener;

    // Guards every field below. `changed` is notified whenever free_slots,
    // live_workers, pool_threads or stopping changes; nobody waits on it on
    // the path of a request unless the slots have run out.
    mutable std::mutex mutex;
    std::condition_variable changed;
    // The main thread sleeps on its own condition for the life of the server,
    // so that the slot counting of every connection does not wake it.
    std::condition_variable stop_requested;
    // Settings value less the number of workers that have taken a slot and not
    // given it back. Only ever counted under `mutex`, so the subtract-and-test
    // of a new worker is indivisible.
    std::int32_t free_slots;
    // Workers started and not yet ended; stop() waits for it to reach 0.
    int live_workers = 0;
    bool stopping = false;

    // Threads of the chain alive, busy or idle, the watchdog included; stop()
    // waits for it to reach 0 too.
    int pool_threads = 0;
    std::vector<IdleThread*> idle_threads;
    // Every place a pool thread ever had; those of ended threads are spare.
    std::deque<IdleThread> places;
    std::vector<IdleThread*> spare_places;

    // Every connection whose handler runs. The watchdog cancels those that
    // overstay their deadline; a worker takes its run out before it closes the
    // socket, so a cancellation never meets a closed descriptor.
    std::vector<HandlerRun*> in_service;
    std::condition_variable watchdog_wake;
    // The moment the watchdog wakes next; a run due earlier wakes it.
    Deadline watchdog_wakes_at = no_deadline;
    bool watchdog_started = false;
};

namespace {

// Counting with wrap-around: a setting near the bottom of the 32-bit range
// must not make the counter overflow.
std::int32_t minus_one(std::int32_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) - 1u);
}
std::int32_t plus(std::int32_t value, std::size_t count) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                     static_cast<std::uint32_t>(count));
}

[[noreturn]] void stop_process(std::string_view console_text, std::string_view log_text) {
    platform::console_write(console_text);
    write_log(log_text);
    platform::exit_process(0);
}

void pool_thread(std::shared_ptr<ChainState> chain, bool waits_for_slot);

// Counts a new worker and takes its slot on its behalf, so that a handler
// started after it sees the count with it. Called under the chain's mutex. A
// stopped chain starts no worker, so that the chain runs out.
NewWorker count_worker(ChainState& chain) {
    NewWorker worker;
    if (chain.stopping)
        return worker;
    worker.counted = true;
    ++chain.live_workers;
    chain.free_slots = minus_one(chain.free_slots);
    // At exactly 0 the worker waits until a slot is given back, without
    // subtracting again.
    worker.waits_for_slot = chain.free_slots == 0;
    return worker;
}

// Gives a counted worker a thread: an idle pool thread when there is one, else
// a new one, which start_thread creates. Called under the chain's mutex.
void place_worker(ChainState& chain, NewWorker& worker) {
    if (!chain.idle_threads.empty()) {
        IdleThread* idle = chain.idle_threads.back();
        chain.idle_threads.pop_back();
        idle->has_work = true;
        idle->waits_for_slot = worker.waits_for_slot;
        worker.woken = idle;
        return;
    }
    ++chain.pool_threads;
    worker.needs_thread = true;
}

// Starts the thread a new worker needs, if any. Nobody joins a pool thread:
// each accounts for its own end by leaving `pool_threads`, and keeps the chain
// state alive through its own reference until then.
void start_thread(const std::shared_ptr<ChainState>& chain, NewWorker worker,
                  std::string_view failure_log_text) {
    if (worker.woken)
        worker.woken->wake.notify_one();
    if (!worker.needs_thread)
        return;
    try {
        std::thread(pool_thread, chain, worker.waits_for_slot).detach();
    } catch (const std::exception&) {
        stop_process("ERROR Th1\n", failure_log_text);
    }
}

void start_worker(const std::shared_ptr<ChainState>& chain, std::string_view failure_log_text) {
    NewWorker worker;
    {
        std::lock_guard lock(chain->mutex);
        worker = count_worker(*chain);
        if (worker.counted)
            place_worker(*chain, worker);
    }
    start_thread(chain, worker, failure_log_text);
}

// A successor counted when its predecessor took a connection, and not yet
// running anywhere. The predecessor serves its connection first. Should the
// handler be about to wait (for the client, the disk or a child), the blocking
// hook gives the successor a thread of its own, so that connections are taken
// meanwhile; a connection served without a wait leaves the successor to the
// predecessor's own thread, which then runs it with no hand-off at all.
struct PendingSuccessor {
    const std::shared_ptr<ChainState>* chain = nullptr;
    NewWorker worker;
    bool pending = false;
};

void start_pending_successor(void* context) {
    auto& successor = *static_cast<PendingSuccessor*>(context);
    if (!successor.pending)
        return;
    successor.pending = false;
    const std::shared_ptr<ChainState>& chain = *successor.chain;
    {
        std::lock_guard lock(chain->mutex);
        place_worker(*chain, successor.worker);
    }
    start_thread(chain, successor.worker, "Http timer Thread Create Error!\n");
}

// Waits until a slot is given back. Returns false when the chain is stopped
// while the worker waits; the slot is then still the worker's.
bool wait_for_slot(ChainState& chain) {
    // Slots come back as records reach the disk: none may linger on the way.
    LogHurry hurry;
    std::unique_lock lock(chain.mutex);
    chain.changed.wait(lock, [&] { return chain.free_slots != 0 || chain.stopping; });
    return !chain.stopping;
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

// Overdue or stopped: nothing more may leave for the client, and shutting both
// directions down shows the client the close on time and wakes the handler
// wherever it waits on the connection. Every other wait of the handler ends by
// the same deadline, so it ends soon. Called under the chain's mutex, while the
// run is in service and its socket therefore still open.
void cancel(HandlerRun& run) {
    if (run.ticket.cancelled)
        return;
    run.ticket.cancelled = true;
    platform::shutdown_both(run.ticket.socket);
}

// Supervises every handler of the chain: one thread that sleeps until the
// earliest deadline in service, in place of one waiting worker per connection
// that every handler's end would have to wake.
void watchdog(std::shared_ptr<ChainState> chain) {
    std::unique_lock lock(chain->mutex);
    while (!chain->stopping) {
        Deadline now = Clock::now();
        Deadline next = no_deadline;
        for (HandlerRun* run : chain->in_service) {
            if (run->ticket.deadline <= now)
                cancel(*run);
            else
                next = std::min(next, run->ticket.deadline);
        }
        chain->watchdog_wakes_at = next;
        if (next == no_deadline)
            chain->watchdog_wake.wait(lock);
        else
            chain->watchdog_wake.wait_until(lock, next);
    }
    --chain->pool_threads;
    chain->changed.notify_all();
}

// Puts `run` in service under the chain's mutex; a deadline earlier than the
// watchdog's next wake-up wakes it. Returns true when the watchdog is yet to
// be started, which the caller does once it has let go of the mutex.
bool enter_service(ChainState& chain, HandlerRun& run) {
    chain.in_service.push_back(&run);
    if (chain.stopping) {
        cancel(run);
        return false;
    }
    if (run.ticket.deadline >= chain.watchdog_wakes_at)
        return false;
    if (chain.watchdog_started) {
        chain.watchdog_wake.notify_one();
        return false;
    }
    chain.watchdog_started = true;
    ++chain.pool_threads;
    return true;
}

void start_watchdog(const std::shared_ptr<ChainState>& chain) {
    try {
        std::thread(watchdog, chain).detach();
    } catch (const std::exception&) {
        stop_process("Error Create Thread\n", "http Thread Create Error!\n");
    }
}

void leave_service(ChainState& chain, HandlerRun& run) {
    std::lock_guard lock(chain.mutex);
    auto found = std::find(chain.in_service.begin(), chain.in_service.end(), &run);
    *found = chain.in_service.back();
    chain.in_service.pop_back();
}

// Serves one accepted connection; the successor is counted in the same step
// that puts the connection in service, and left pending. Returns the access
// record the handler posted, if any.
std::optional<LogRecordNumber> serve(const std::shared_ptr<ChainState>& chain,
                                     platform::Accepted accepted, PendingSuccessor& successor) {
    // Kept open until the handler has ended, so that the log mutex exists
    // whenever the handler opens it by name.
    platform::LogMutexHandle log_mutex = platform::LogMutexHandle::create();
    HandlerRun run;
    run.ticket.socket = std::move(accepted.socket);
    run.ticket.peer_address = accepted.peer_address;
    bool watchdog_needed = false;
    {
        std::lock_guard lock(chain->mutex);
        // The successor waits for the next connection while this one is
        // served, or takes it once this one is done.
        successor.worker = count_worker(*chain);
        successor.pending = successor.worker.counted;
        if (log_mutex.valid()) {
            run.ticket.free_slots_at_start = chain->free_slots;
            run.ticket.deadline = deadline_after(chain->settings.handler_time_limit_ms);
            watchdog_needed = enter_service(*chain, run);
        }
    }
    set_blocking_hook({&start_pending_successor, &successor, chain->listener.get()});
    if (log_mutex.valid()) {
        if (watchdog_needed)
            start_watchdog(chain);
        // The handler runs on the worker's own thread; the watchdog stands in
        // for the worker's supervision wait.
        try {
            chain->settings.handler(run.ticket);
        } catch (const std::exception&) {
            // The handler's failure is that connection's alone; it is closed below.
        }
        leave_service(*chain, run);
    }
    if (!run.ticket.reply_ended)
        platform::shutdown_send(run.ticket.socket);
    run.ticket.socket.close();
    return run.ticket.access_record;
}

// One accept worker's life, from its slot to the end of its connection.
// Returns the access record whose flush the worker's end waits for.
std::optional<LogRecordNumber> accept_worker(const std::shared_ptr<ChainState>& chain,
                                             bool waits_for_slot, PendingSuccessor& successor) {
    if (waits_for_slot && !wait_for_slot(*chain))
        return std::nullopt;
    platform::Accepted accepted = wait_for_connection(*chain);
    if (accepted.socket.valid())
        return serve(chain, std::move(accepted), successor);
    // Accepting failed: the successor tries again.
    start_worker(chain, "Http timer Thread Create Error!\n");
    return std::nullopt;
}

// The end of `count` workers: their slots go back. Called under the chain's
// mutex.
void end_worker(ChainState& chain, std::size_t count) {
    chain.free_slots = plus(chain.free_slots, count);
    chain.live_workers -= static_cast<int>(count);
    chain.changed.notify_all();
}

// The end of workers whose access records have just reached the disk, run by
// the log's writer. The chain outlives it: stop() waits for every worker's end.
void end_workers_after_log(void* state, std::size_t count) {
    ChainState& chain = *static_cast<ChainState*>(state);
    std::lock_guard lock(chain.mutex);
    end_worker(chain, count);
}

// Runs one worker after another, waiting idle in between, so that a connection
// costs no thread creation while the load lasts. A worker whose record is not
// yet on disk hands its end to the log's writer, and its thread is free for
// the next worker at once: the worker's own successor when it is still
// pending, else whatever an idle thread is given.
void pool_thread(std::shared_ptr<ChainState> chain, bool waits_for_slot) {
    IdleThread* self = nullptr;
    {
        std::lock_guard lock(chain->mutex);
        if (chain->spare_places.empty()) {
            self = &chain->places.emplace_back();
        } else {
            self = chain->spare_places.back();
            chain->spare_places.pop_back();
        }
    }
    for (;;) {
        PendingSuccessor successor;
        successor.chain = &chain;
        std::optional<LogRecordNumber> record = accept_worker(chain, waits_for_slot, successor);
        if (record)
            when_log_written(*record, {&end_workers_after_log, chain.get()});
        set_blocking_hook({});
        std::unique_lock lock(chain->mutex);
        if (!record)
            end_worker(*chain, 1);
        if (successor.pending) {
            waits_for_slot = successor.worker.waits_for_slot;
            continue;
        }
        self->has_work = false;
        chain->idle_threads.push_back(self);
        self->wake.wait_for(lock, idle_thread_limit,
                            [&] { return self->has_work || chain->stopping; });
        if (!self->has_work) {
            auto& idle = chain->idle_threads;
            idle.erase(std::find(idle.begin(), idle.end(), self));
            chain->spare_places.push_back(self);
            --chain->pool_threads;
            chain->changed.notify_all();
            return;
        }
        waits_for_slot = self->waits_for_slot;
    }
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
    state_->stop_requested.wait(lock, [&] { return state_->stopping; });
}

void AcceptChain::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        for (HandlerRun* run : state_->in_service)
            cancel(*run);
        for (IdleThread* idle : state_->idle_threads)
            idle->wake.notify_one();
        state_->watchdog_wake.notify_one();
        state_->stop_requested.notify_all();
        state_->changed.notify_all();
    }
    platform::wake_listener(state_->listener);
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock,
                         [&] { return state_->live_workers == 0 && state_->pool_threads == 0; });
}

std::int32_t AcceptChain::free_slots() const {
    std::lock_guard lock(state_->mutex);
    return state_->free_slots;
}

std::uint16_t AcceptChain::port() const {
    return platform::local_port(state_->listener);
}
