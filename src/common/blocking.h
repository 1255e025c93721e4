#pragma once

// A thread may owe others something that it would hold up by waiting: an
// accept worker that serves its connection before it has set its successor
// going. It leaves a hook here, and every wait that can block (on a
// connection, a child process, the disk) calls about_to_block() first, which
// runs the hook once and clears it. A thread without a hook pays one test.

#include <cstdint>

struct BlockingHook {
    void (*run)(void* context) = nullptr;
    void* context = nullptr;
    // A listening socket (the platform's handle) whose waiting connection is
    // what the hook is for, or -1. A wait for a client's next bytes may then
    // run the hook only when a connection arrives before the bytes do.
    std::intptr_t listener = -1;
};

namespace blocking_detail {
inline thread_local BlockingHook hook;
} // namespace blocking_detail

// Sets this thread's hook; a hook with no `run` clears it.
inline void set_blocking_hook(BlockingHook hook) {
    blocking_detail::hook = hook;
}

// The listener of this thread's hook, or -1 when there is no hook or it has
// none.
inline std::intptr_t blocking_hook_listener() {
    return blocking_detail::hook.run == nullptr ? -1 : blocking_detail::hook.listener;
}

// Runs and clears this thread's hook, if it has one.
inline void about_to_block() {
    BlockingHook hook = blocking_detail::hook;
    if (hook.run == nullptr)
        return;
    blocking_detail::hook = {};
    hook.run(hook.context);
}
