#pragma once

// An embedder may drive the engine while holding a global lock of its own (an interpreter
// lock, say) and let go of it only when that pays: before a tick of a tree whose last tick
// ran none of the embedder's own nodes (a tree of built-in nodes, which can then tick in
// parallel with other threads), and before the engine sleeps. Taking such a lock back for
// every node of the embedder's own would cost more than the nodes themselves, and counting
// nodes would cost every built-in node a little. The engine only says when; the hook is per
// thread, and nothing is called while none is set.

namespace quorvel {

using LetGoHook = void (*)();

namespace detail {
// Read on every tick: one variable, in the static TLS block (no lookup call per access).
struct StretchState {
    LetGoHook hook = nullptr;
    bool embedder_ran = false;  // an embedder's node ran since the current tick began
};
inline thread_local StretchState stretch __attribute__((tls_model("initial-exec")));
}  // namespace detail

// A tree's tick begins; `expect_embedder`: the tree's last tick ran an embedder's node.
inline void noteTickStart(bool expect_embedder) {
    detail::StretchState& state = detail::stretch;
    if (!expect_embedder && state.hook) state.hook();
    state.embedder_ran = false;
}

// After a tick: whether it ran an embedder's node.
inline bool embedderNodeRan() { return detail::stretch.embedder_ran; }

// A node of the embedder's own runs.
inline void noteEmbedderNode() { detail::stretch.embedder_ran = true; }

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
