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
// Read on every node tick: one variable, in the static TLS block (no lookup call per access).
struct StretchState {
    LetGoHook hook = nullptr;
    unsigned ticks = 0;
};
inline thread_local StretchState stretch __attribute__((tls_model("initial-exec")));
}  // namespace detail

// Every node tick.
inline void noteNodeTick() {
    detail::StretchState& state = detail::stretch;
    if (++state.ticks >= kStretchTicks) {
        state.ticks = 0;
        if (state.hook) state.hook();
    }
}

// A node of the embedder's own ran: the stretch starts again.
inline void noteEmbedderNode() { detail::stretch.ticks = 0; }

// The engine is about to sleep (between ticks).
inline void beforeBlocking() {
    if (detail::stretch.hook) detail::stretch.hook();
}

// Sets the hook of the calling thread for a scope (scopes nest).
class ScopedLetGoHook {
public:
    explicit ScopedLetGoHook(LetGoHook hook) : previous_(detail::stretch.hook) { detail::stretch.hook = hook; }
    ~ScopedLetGoHook() { detail::stretch.hook = previous_; }
    ScopedLetGoHook(const ScopedLetGoHook&) = delete;
    ScopedLetGoHook& operator=(const ScopedLetGoHook&) = delete;

private:
    LetGoHook previous_;
};

}  // namespace quorvel
