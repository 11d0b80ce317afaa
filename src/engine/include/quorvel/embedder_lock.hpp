#pragma once

// An embedder may drive the engine while holding a global lock of its own (an interpreter
// lock, say) and let go of it only when that pays: while the engine runs a long stretch of
// its own nodes, or before it sleeps. Taking such a lock back for every node of the
// embedder's own would cost more than the nodes themselves. The engine only says when; the
// hook is per thread, and nothing is called while none is set.

namespace quorvel {

using LetGoHook = void (*)();

// Nodes the engine ticks in a row, without one of the embedder's own, before it calls the
// hook. Long enough that trees alternating between both kinds never pay for it, short
// enough that a tree of built-in nodes gives the lock up within a microsecond or so.
inline constexpr unsigned kStretchTicks = 64;

namespace detail {
inline thread_local LetGoHook let_go_hook = nullptr;
inline thread_local unsigned ticks_in_stretch = 0;
}  // namespace detail

// Every node tick.
inline void noteNodeTick() {
    if (++detail::ticks_in_stretch >= kStretchTicks) {
        detail::ticks_in_stretch = 0;
        if (detail::let_go_hook) detail::let_go_hook();
    }
}

// A node of the embedder's own ran: the stretch starts again.
inline void noteEmbedderNode() { detail::ticks_in_stretch = 0; }

// The engine is about to sleep (between ticks).
inline void beforeBlocking() {
    if (detail::let_go_hook) detail::let_go_hook();
}

// Sets the hook of the calling thread for a scope (scopes nest).
class ScopedLetGoHook {
public:
    explicit ScopedLetGoHook(LetGoHook hook) : previous_(detail::let_go_hook) { detail::let_go_hook = hook; }
    ~ScopedLetGoHook() { detail::let_go_hook = previous_; }
    ScopedLetGoHook(const ScopedLetGoHook&) = delete;
    ScopedLetGoHook& operator=(const ScopedLetGoHook&) = delete;

private:
    LetGoHook previous_;
};

}  // namespace quorvel
