// The condition stored under a tree record's "cond": the interface of threading.Condition
// (a re-entrant lock with wait and notify), plus the command channel of the thread engine,
// whose round trips run here rather than in Python because that is where the time goes.
//
// Rules that keep it from deadlocking and make it fast:
// - No thread blocks on the native lock (or waits at all) while holding the GIL.
// - Whoever wakes the other side releases the GIL first, so the woken thread finds it free
//   instead of queueing for it behind a thread that is about to sleep.
// - Senders take turns, first come first served; a stop queues like a sender, so it never
//   overwrites a command, and everyone who comes after it is refused.
// - A notify wakes every waiter; each re-tests what it waits for.

#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include <nanobind/stl/optional.h>

#include "bindings.hpp"
#include "py_support.hpp"
#include "quorvel/sync.hpp"

namespace quorvel::py {
namespace {

using sync::Clock;
using Deadline = const Clock::time_point*;

// A timeout in seconds as threading takes it; false when there is no limit.
bool deadlineAfter(std::optional<double> timeout, Clock::time_point& deadline) {
    if (!timeout) return false;
    double seconds = *timeout;
    if (std::isnan(seconds)) throw nb::value_error("Invalid value NaN (not a number)");
    seconds = std::fmin(std::fmax(seconds, 0.0), 1e9);  // non-positive: only a poll
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

// A slot is a list of one element; Python code may have changed that, and then gets an error
// instead of a read out of bounds.
PyObject* item(nb::handle slot) {
    if (PyList_GET_SIZE(slot.ptr()) != 1) throw nb::value_error("a slot of the tree's record is no longer a list of one element");
    return PyList_GET_ITEM(slot.ptr(), 0);
}
bool isNone(nb::handle slot) { return item(slot) == Py_None; }
void put(nb::handle slot, nb::handle value) {
    item(slot);
    PyList_SetItem(slot.ptr(), 0, Py_NewRef(value.ptr()));
}

// An asynchronous command: sent without anyone blocking, answered through its callback.
struct Request {
    std::uint32_t ticket;
    nb::object command, callback;
};

class Channel {
public:
    // Blocks with the GIL released until wait(deadline) returns true; `before` runs first,
    // once, without the GIL. False when `deadline` passed first. The wait wakes every few
    // milliseconds on the main thread, to run signal handlers (so Ctrl-C reaches a program
    // waiting for a long command: a handler's exception leaves as nb::python_error), and
    // while a sender watches the worker thread, to notice that it died without answering.
    template <class Before, class Wait>
    bool blockReleased(Before&& before, Wait&& wait, Deadline deadline) {
        const bool main = onMainThread(), watch = watching && worker_;
        const auto every = main ? std::chrono::milliseconds(20) : std::chrono::milliseconds(50);
        for (bool first = true;; first = false) {
            Clock::time_point slice;
            Deadline until = deadline;
            if (main || watch) {
                slice = Clock::now() + every;
                if (!until || slice < *until) until = &slice;
            }
            bool done;
            {
                GilRelease release;
                if (first) before();
                done = wait(until);
            }
            if (done) return true;
            if (deadline && Clock::now() >= *deadline) return false;
            if (PyErr_CheckSignals() < 0) throw nb::python_error();
            if (watch && !ended_.load() && !nb::cast<bool>(worker_.attr("is_alive")())) workerEnded();
        }
    }

    template <class Wait>
    bool blockReleased(Wait&& wait, Deadline deadline) {
        return blockReleased([] {}, wait, deadline);
    }

    // ---- threading.Condition ----

    bool acquire(bool blocking, double timeout) {
        if (!blocking && timeout != -1) throw nb::value_error("can't specify a timeout for a non-blocking call");
        if (timeout < 0 && timeout != -1) throw nb::value_error("timeout value must be a non-negative number");
        if (lock_.tryAcquire()) return true;
        if (!blocking) return false;
        Clock::time_point deadline;
        const bool limited = timeout != -1 && deadlineAfter(timeout, deadline);
        return blockReleased([&](Deadline until) { return lock_.acquireUntil(until); }, limited ? &deadline : nullptr);
    }

    void release() {
        mustOwn("release");
        lock_.release();
    }

    bool wait(std::optional<double> timeout) {
        mustOwn("wait on");
        Clock::time_point deadline;
        const bool limited = deadlineAfter(timeout, deadline);
        const std::uint32_t seen = notified_.value();
        const std::uint32_t depth = lock_.releaseAll();
        bool woken = false;
        try {
            woken = blockReleased([&](Deadline until) { return notified_.waitFor([&] { return notified_.value() != seen; }, until); },
                                  limited ? &deadline : nullptr);
        } catch (...) {
            relock(depth);  // threading.Condition holds its lock again even when interrupted
            throw;
        }
        relock(depth);
        return woken;
    }

    nb::object waitFor(nb::callable predicate, std::optional<double> timeout) {
        Clock::time_point deadline;
        const bool limited = deadlineAfter(timeout, deadline);
        nb::object result = predicate();
        while (!PyObject_IsTrue(result.ptr())) {
            std::optional<double> remaining;
            if (limited) {
                remaining = std::chrono::duration<double>(deadline - Clock::now()).count();
                if (*remaining <= 0) break;
            }
            wait(remaining);
            result = predicate();
        }
        return result;
    }

    void notify(long n) {
        mustOwn("notify on");
        if (n > 0) notified_.signal();
    }
    void notifyAll() {
        mustOwn("notify on");
        notified_.signal();
    }
    bool isOwned() const { return lock_.owned(); }

    // ---- the caller's side ----

    // One command's round trip: waits for this sender's turn, posts `command` in the slot,
    // wakes the worker and waits for the answer, which it takes out of the result slot.
    // None when no worker will answer: it has ended, or the tree is being stopped.
    nb::object send(nb::list commandSlot, nb::list resultSlot, nb::handle command, nb::handle worker) {
        if (stopping_.load()) return nb::none();
        // Watched while this sender waits: a worker thread that is gone answers nothing.
        if (!worker_ && !worker.is_none()) worker_ = nb::borrow(worker);
        struct Watching {
            Watching() { watching = true; }
            ~Watching() { watching = false; }
        } watchingNow;
        const std::uint32_t ticket = turns_.draw();
        if (!takeTurn(ticket, nullptr)) return nb::none();
        TurnHolder turn{*this};
        if (stopping_.load()) return nb::none();
        holdLock();
        Held held{lock_};
        item(resultSlot);  // both slots sound before anything is posted
        // An earlier sender gave up waiting (a signal): its answer is not ours to take.
        if (orphaned_) {
            if (!awaitAnswer(resultSlot, false)) return nb::none();
            put(resultSlot, nb::none());
            orphaned_ = false;
        }
        put(commandSlot, command);
        try {
            if (!awaitAnswer(resultSlot, true)) return nb::none();
        } catch (...) {
            orphaned_ = true;  // the command runs on; whoever comes next drops its answer
            throw;
        }
        nb::object answer = nb::borrow(item(resultSlot));
        put(resultSlot, nb::none());
        return answer;
    }

    // Queues `command` without blocking; the worker runs it in its turn and calls
    // callback(answer), on the worker thread, or callback(None) when no worker will. Returns
    // the ticket (for withdraw), or None when refused at once.
    nb::object submit(nb::handle command, nb::handle callback) {
        if (stopping_.load() || ended_.load()) return nb::none();
        const std::uint32_t ticket = turns_.draw();
        requests_.push_back({ticket, nb::borrow(command), nb::borrow(callback)});
        if (turns_.isServing(ticket)) notified_.signal();
        return nb::int_(ticket);
    }

    // Takes back a command that has not started; false when it has (or is unknown).
    bool withdraw(std::uint32_t ticket) {
        for (auto it = requests_.begin(); it != requests_.end(); ++it) {
            if (it->ticket != ticket) continue;
            requests_.erase(it);
            turns_.abandon(ticket);
            wakeForRequest();
            return true;
        }
        return false;
    }

    // Queues the stop request behind every sender already waiting, refuses everyone after it,
    // and writes it (False) into the command slot in its turn. False when `timeout` passed
    // first; calling again waits on in the same place.
    bool stop(nb::list commandSlot, std::optional<double> timeout) {
        Clock::time_point deadline;
        const bool limited = deadlineAfter(timeout, deadline);
        if (!stopping_.exchange(true)) stopTicket_ = turns_.draw();
        try {
            if (!takeTurn(stopTicket_, limited ? &deadline : nullptr)) return ended_.load();
        } catch (...) {
            stopping_.store(false);  // interrupted: the stop did not happen, and its ticket is gone
            throw;
        }
        TurnHolder turn{*this};
        holdLock();
        Held held{lock_};
        put(commandSlot, nb::bool_(false));
        notified_.signal();
        return true;
    }

    // ---- the worker's side ----

    // Serves the command slot until it holds False: each command goes to
    // process(engine, command, tree_id, result_slot), which leaves the answer in the slot.
    void serve(nb::list commandSlot, nb::list resultSlot, nb::callable process, nb::handle engine,
               nb::handle treeId) {
        holdLock();
        Held held{lock_};
        for (;;) {
            const std::uint32_t seen = notified_.value();
            PyObject* command = item(commandSlot);
            if (command == Py_False) break;
            if (command == Py_None) {
                if (serveRequest(resultSlot, process, engine, treeId)) continue;
                waitReleased(false, seen);
                continue;
            }
            process(engine, nb::borrow(command), treeId, resultSlot);
            put(commandSlot, nb::none());
            waitReleased(true, notified_.value());
        }
    }

    // The worker has ended: nobody will answer any more.
    void workerEnded() {
        ended_.store(true);
        std::vector<Request> left;
        left.swap(requests_);
        for (Request& r : left) answer(r.callback, nb::none());
        notified_.signal();
        turns_.moved().signal();
    }

    // In a forked child the worker and every other thread of the parent are gone, and so
    // may be whoever held the locks: start afresh, as a tree whose worker has ended.
    void afterFork() {
        lock_.reset();
        turns_.reset();
        notified_.reset();
        requests_.clear();
        ended_.store(true);
        stopping_.store(false);
        orphaned_ = false;
    }

private:
    // Gives up the level of the lock that this call took, on every way out (a wait that a
    // signal interrupted leaves it given up already).
    struct Held {
        sync::Lock& lock;
        ~Held() {
            if (lock.owned()) lock.release();
        }
    };

    struct TurnHolder {
        Channel& c;
        ~TurnHolder() {
            c.turns_.pass();
            c.wakeForRequest();
        }
    };

    void mustOwn(const char* what) const {
        if (!lock_.owned()) throw std::runtime_error(std::string("cannot ") + what + " un-acquired lock");
    }

    void relock(std::uint32_t depth) {
        if (!lock_.tryAcquire()) {
            GilRelease release;
            lock_.acquireUntil(nullptr);
        }
        lock_.restore(depth);
    }

    void holdLock() {
        if (!lock_.tryAcquire()) blockReleased([&](Deadline until) { return lock_.acquireUntil(until); }, nullptr);
    }

    // Waits for `ticket` to come up; false (with the ticket given up) when the worker ended
    // or the deadline passed first.
    bool takeTurn(std::uint32_t ticket, Deadline deadline) {
        auto mine = [&] { return turns_.isServing(ticket) || ended_.load(); };
        if (turns_.isServing(ticket)) return true;
        try {
            if (!blockReleased([&](Deadline until) { return turns_.moved().waitFor(mine, until); }, deadline))
                return false;
        } catch (...) {
            turns_.abandon(ticket);
            wakeForRequest();
            throw;
        }
        if (turns_.isServing(ticket)) return true;
        turns_.abandon(ticket);
        wakeForRequest();
        return false;
    }

    // With the lock and the GIL held: releases both and waits for a notify after `seen` (read
    // under the lock), then takes the lock and the GIL back. With `notifyFirst` it notifies
    // too, after releasing the GIL (the woken thread needs it first thing) and the lock (or
    // the woken thread, run on this core, may find it held by a thread it has preempted).
    void waitReleased(bool notifyFirst, std::uint32_t seen) {
        std::uint32_t depth = 0;
        bool notifiedYet = false, wokeSleeper = false;
        blockReleased(
            [&] {
                depth = lock_.releaseAll();
                if (notifyFirst) {
                    wokeSleeper = notified_.signal();
                    ++seen;  // its own notify; any other one is news
                }
            },
            [&](Deadline until) {
                if (!notifiedYet && !notified_.waitFor([&] { return notified_.value() != seen || ended_.load(); }, until,
                                                       !wokeSleeper))
                    return false;
                notifiedYet = true;
                if (!lock_.acquireUntil(until)) return false;
                lock_.restore(depth);
                return true;
            },
            nullptr);
    }

    // With the lock held: waits until the result slot holds an answer (true) or the worker
    // has ended (false), the lock held again. `post` wakes the worker first. A signal that
    // interrupts the wait leaves with the lock released.
    bool awaitAnswer(nb::handle resultSlot, bool post) {
        for (;;) {
            if (!isNone(resultSlot)) return true;
            if (ended_.load()) return false;
            waitReleased(post, notified_.value());
            post = false;
        }
    }

    // With the lock and the GIL held and the command slot empty: runs the asynchronous
    // command whose turn it is, if any.
    bool serveRequest(nb::handle resultSlot, nb::callable& process, nb::handle engine, nb::handle treeId) {
        auto it = requests_.begin();
        while (it != requests_.end() && !turns_.isServing(it->ticket)) ++it;
        if (it == requests_.end()) return false;
        Request request = std::move(*it);
        requests_.erase(it);
        TurnHolder turn{*this};
        if (stopping_.load()) {
            answer(request.callback, nb::none());
            return true;
        }
        try {
            process(engine, request.command, treeId, resultSlot);
        } catch (...) {
            answer(request.callback, nb::none());
            throw;
        }
        nb::object result = nb::borrow(item(resultSlot));
        put(resultSlot, nb::none());
        answer(request.callback, result);
        return true;
    }

    static void answer(nb::handle callback, nb::handle result) {
        try {
            callback(result);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable(callback);
        }
    }

    // The worker waits for a notify, not for the turn counter: tell it when the turn has
    // come to an asynchronous command. GIL held.
    void wakeForRequest() {
        for (const Request& r : requests_)
            if (turns_.isServing(r.ticket)) notified_.signal();
    }

    sync::Lock lock_;
    sync::Event notified_;
    sync::Turns turns_;
    std::atomic<bool> ended_{false}, stopping_{false};
    std::uint32_t stopTicket_ = 0;
    bool orphaned_ = false;           // the turn holder's
    std::vector<Request> requests_;   // GIL held
    nb::object worker_;               // the worker's thread, once a sender named it
    static thread_local bool watching;  // the current thread is a sender waiting
};

thread_local bool Channel::watching = false;

}  // namespace

void bindChannel(nb::module_& m) {
    nb::class_<Channel>(m, "ThreadCondition",
                        "A tree's condition: threading.Condition's interface (re-entrant lock, wait, notify)\n"
                        "on a native lock that waits with the GIL released, plus the thread engine's command\n"
                        "channel. notify() wakes every waiter; waiters re-test what they wait for.")
        .def(nb::init<>())
        .def("acquire", &Channel::acquire, nb::arg("blocking") = true, nb::arg("timeout") = -1.0)
        .def("release", &Channel::release)
        .def("__enter__", [](Channel& c) { return c.acquire(true, -1); })
        .def("__exit__", [](Channel& c, nb::args) { c.release(); })
        .def("wait", &Channel::wait, nb::arg("timeout") = nb::none())
        .def("wait_for", &Channel::waitFor, nb::arg("predicate"), nb::arg("timeout") = nb::none())
        .def("notify", &Channel::notify, nb::arg("n") = 1)
        .def("notify_all", &Channel::notifyAll)
        .def("_is_owned", &Channel::isOwned)
        .def("_send", &Channel::send, nb::arg("command_slot"), nb::arg("result_slot"), nb::arg("command"),
             nb::arg("worker").none(),
             "Round trip of one command; None when no worker will answer. `worker`, the worker's\n"
             "threading.Thread or None, is watched while waiting.")
        .def("_submit", &Channel::submit, nb::arg("command"), nb::arg("callback"),
             "Queues a command without blocking; callback(answer or None) runs on the worker thread.\n"
             "Returns the ticket, or None when refused.")
        .def("_withdraw", &Channel::withdraw, nb::arg("ticket"))
        .def("_stop", &Channel::stop, nb::arg("command_slot"), nb::arg("timeout") = nb::none(),
             "Writes the stop request in its turn; False when the timeout passed first.")
        .def("_serve", &Channel::serve, nb::arg("command_slot"), nb::arg("result_slot"), nb::arg("process"),
             nb::arg("engine"), nb::arg("tree_id"))
        .def("_worker_ended", &Channel::workerEnded)
        .def("_after_fork", &Channel::afterFork);
}

}  // namespace quorvel::py
