#include "dispatch/accept_chain.h"
#include "dispatch/send.h"
#include "loopback.h"
#include "platform/log_mutex.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

// What the fake handlers saw, shared with the test thread.
struct Observed {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int in_service = 0;
    int ended = 0;
    std::vector<std::int32_t> slots_at_start;
    int last_received = 0;
    int last_sent = 0;
    bool last_cancelled = false;
    // Grace beyond the ticket's deadline for the handler's own receive, so that
    // a test can tell the worker's wake-up from the handler's own time-out.
    Clock::duration receive_grace{};

    template <class Condition> bool wait_until(Condition condition, Clock::duration limit = 3s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, condition);
    }
};
Observed* observed = nullptr;

// Serves until its client sends a byte, then answers "bye": a connection stays
// in service exactly as long as the test wants.
void serve_until_client_speaks(ConnectionTicket& ticket) {
    {
        std::lock_guard lock(observed->mutex);
        ++observed->started;
        ++observed->in_service;
        observed->slots_at_start.push_back(ticket.free_slots_at_start);
        observed->changed.notify_all();
    }
    char byte = 0;
    int received =
        platform::receive(ticket.socket, {&byte, 1}, ticket.deadline + observed->receive_grace);
    int sent = send_text(ticket, "bye");
    std::lock_guard lock(observed->mutex);
    --observed->in_service;
    ++observed->ended;
    observed->last_received = received;
    observed->last_sent = sent;
    observed->last_cancelled = ticket.cancelled;
    observed->changed.notify_all();
}

class AcceptChainTest : public ::testing::Test {
protected:
    void SetUp() override { observed = &state; }
    void TearDown() override {
        if (chain)
            chain->stop();
        chain.reset();
        observed = nullptr;
    }

    void start_chain(std::int32_t max_thread, std::int64_t limit_ms = 10000) {
        chain.emplace(loopback::listener(),
                      ChainSettings{serve_until_client_speaks, max_thread, limit_ms});
        chain->start();
    }
    platform::Socket connect() { return loopback::connect_to(chain->port()); }

    bool slots_return_to(std::int32_t value) {
        return loopback::eventually([&] { return chain->free_slots() == value; });
    }

    Observed state;
    std::optional<AcceptChain> chain;
};

TEST_F(AcceptChainTest, ThreeSlotsServeTwoAndTakeTheThirdWhenOneEnds) {
    start_chain(3);
    platform::Socket first = connect();
    platform::Socket second = connect();
    platform::Socket third = connect();
    ASSERT_TRUE(state.wait_until([&] { return state.started == 2; }));
    // The third connection waits in the backlog while its worker waits for a slot.
    EXPECT_FALSE(state.wait_until([&] { return state.started > 2; }, 150ms));
    EXPECT_EQ(chain->free_slots(), 0);

    ASSERT_TRUE(loopback::send_raw(first, "x"));
    EXPECT_EQ(loopback::read_to_end(first, 2000ms).bytes, "bye");
    ASSERT_TRUE(state.wait_until([&] { return state.started == 3 && state.in_service == 2; }));

    for (auto* client : {&second, &third}) {
        ASSERT_TRUE(loopback::send_raw(*client, "x"));
        loopback::ReadResult reply = loopback::read_to_end(*client, 2000ms);
        EXPECT_EQ(reply.bytes, "bye");
        EXPECT_TRUE(reply.ended);
    }
    // Only the worker waiting for the next connection holds a slot.
    EXPECT_TRUE(slots_return_to(2));

    // Each handler sees the count with its own worker's slot taken; how many
    // successors have taken theirs by then depends on the timing.
    std::lock_guard lock(state.mutex);
    ASSERT_EQ(state.slots_at_start.size(), 3u);
    for (std::int32_t slots : state.slots_at_start) {
        EXPECT_GE(slots, 0);
        EXPECT_LE(slots, 2);
    }
}

TEST_F(AcceptChainTest, OneSlotAcceptsNothing) {
    start_chain(1);
    platform::Socket client = connect();
    ASSERT_TRUE(client.valid()); // the backlog takes it; no worker does
    ASSERT_TRUE(loopback::send_raw(client, "x"));
    EXPECT_FALSE(state.wait_until([&] { return state.started > 0; }, 200ms));
    EXPECT_EQ(chain->free_slots(), 0);
}

TEST_F(AcceptChainTest, NoBoundServesManyAtOnce) {
    constexpr int clients_count = 12;
    start_chain(0);
    std::vector<platform::Socket> clients;
    for (int i = 0; i < clients_count; ++i)
        clients.push_back(connect());
    ASSERT_TRUE(state.wait_until([&] { return state.in_service == clients_count; }));
    for (auto& client : clients) {
        ASSERT_TRUE(loopback::send_raw(client, "x"));
        EXPECT_EQ(loopback::read_to_end(client, 2000ms).bytes, "bye");
    }
    EXPECT_TRUE(slots_return_to(-1));
    std::lock_guard lock(state.mutex);
    for (std::int32_t slots : state.slots_at_start)
        EXPECT_LT(slots, 0);
}

TEST_F(AcceptChainTest, OverdueHandlerIsCancelledAtItsLimit) {
    constexpr auto limit = 200ms;
    state.receive_grace = 5s; // only the worker's shutdown can end the wait on time
    start_chain(3, limit.count());
    platform::Socket client = connect();
    auto start = Clock::now();
    loopback::ReadResult reply = loopback::read_to_end(client, 3000ms);
    auto closed_after = Clock::now() - start;

    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(reply.bytes, "");
    EXPECT_GE(closed_after, limit - 20ms);
    EXPECT_LT(closed_after, limit + 800ms);
    ASSERT_TRUE(state.wait_until([&] { return state.ended == 1; }));
    EXPECT_TRUE(state.last_cancelled);
    EXPECT_EQ(state.last_received, 0); // woken by the shutdown, not by its own time-out
    EXPECT_EQ(state.last_sent, -1);
    EXPECT_TRUE(slots_return_to(2));
}

TEST_F(AcceptChainTest, StopCancelsHandlersInService) {
    state.receive_grace = 5s;
    start_chain(0);
    platform::Socket client = connect();
    ASSERT_TRUE(state.wait_until([&] { return state.started == 1; }));
    auto start = Clock::now();
    chain->stop();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(loopback::read_to_end(client, 2000ms).ended);
    std::lock_guard lock(state.mutex);
    EXPECT_EQ(state.in_service, 0);
    EXPECT_TRUE(state.last_cancelled);
}

} // namespace
