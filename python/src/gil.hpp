// The module's one way of letting go of the GIL and taking it back, of
// running Python from the library's threads, and of waiting so that Ctrl-C
// is heard.
//
// Taking the GIL is where Python ends a thread once the interpreter is
// finalizing (pthread_exit, which unwinds the stack): in a destructor, or
// through spdlog's catch-all, that unwinding aborts the process ("terminate
// called without an active exception"). So every thread of the module takes
// the GIL through one gate. Once the interpreter has begun to exit (the
// module's atexit hook, which runs after the module's other hooks and before
// finalizing starts), only the main thread and a thread already running
// Python for the library pass, and the hook waits until every thread that
// passed has the GIL or is done with it. A Python thread coming back from the
// library later waits there for the process to end, and the library's
// threads no longer run Python (log lines then go to standard error).
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelm::python {

namespace gil {

// Call with the GIL held; gives it up.
PyThreadState* release();
// Takes the GIL back for `state`, in plain code. A thread other than the
// main one does not come back once the interpreter has begun to exit: it
// waits for the process to end.
void take_back(PyThreadState* state);

}  // namespace gil

// Runs `call` with the GIL released and takes it back afterwards (see
// above); what `call` throws is thrown once the GIL is back. Call with the
// GIL held.
template <typename Call>
std::invoke_result_t<Call&> without_gil(Call&& call) {
    using Result = std::invoke_result_t<Call&>;
    auto* const state = gil::release();
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
        try {
            call();
        } catch (...) {
            failure = std::current_exception();
        }
        gil::take_back(state);
        if (failure) {
            std::rethrow_exception(failure);
        }
    } else {
        std::optional<Result> result;
        try {
            result.emplace(call());
        } catch (...) {
            failure = std::current_exception();
        }
        gil::take_back(state);
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*result);
    }
}

// Runs `call` with the GIL on any thread (one that holds it already, or one
// of the library's), unless the interpreter has begun to exit; then it does
// nothing and answers false. `call` must not throw.
bool with_python(std::function<void()> const& call);

// The time between two looks at Python's signals while the main thread
// waits.
inline constexpr std::chrono::milliseconds signal_check_interval{50};

// Waits until `wait_for(timeout)` answers true, with the GIL released. On the
// main thread it waits in slices and runs Python's signal handlers in
// between, so that Ctrl-C raises KeyboardInterrupt (as
// pybind11::error_already_set) within a fraction of a second; elsewhere
// (where Python handles no signals) it waits in one go. Call with the GIL
// held.
void wait_interruptibly(std::function<bool(std::chrono::milliseconds timeout)> const& wait_for);

// Between a Python thread and a worker it waits for: the worker's calls
// into Python (its log lines) run on the Python thread, as they would if the
// worker's work ran there, so that a log handler that calls the library
// again (a scan, say) re-enters its own lock instead of waiting for itself on
// another thread.
class Handover {
public:
    // The worker, with any thread: runs `call` on the waiting Python thread
    // and returns once it ran; false (nothing ran) once that thread has
    // given up the worker.
    bool call_python(std::function<void()> const& call);
    // The worker: its work is done; `publish` (which stores the outcome)
    // runs unless the Python thread gave it up. Answers whether it ran.
    bool finish(std::function<void()> const& publish);
    // The Python thread, with the GIL: waits until the worker is done,
    // running its calls into Python meanwhile and, on the main thread,
    // Python's signal handlers as wait_interruptibly does. When a handler
    // raises, gives the worker up (`stop` is asked to stop it) and throws.
    void wait(std::stop_source stop);

    // This thread's handover, if it works for a Python thread.
    static Handover* of_this_thread();

    // Makes `handover` this thread's while it lives (a worker's own threads
    // take the worker's).
    class Scope {
    public:
        explicit Scope(Handover* handover);
        ~Scope();
        Scope(Scope const&) = delete;
        Scope& operator=(Scope const&) = delete;

    private:
        Handover* previous;
    };

private:
    struct PendingCall {
        std::function<void()> const* call;
        bool done = false;
    };

    // Runs a call handed over, and tells the worker it ran.
    void run(PendingCall& pending_call);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PendingCall*> pending;
    bool finished = false;
    bool given_up = false;
};

// Runs `call` on a thread of its own and waits for it (Handover::wait),
// giving its result or throwing what it threw. When a signal handler raises
// (Ctrl-C), the call is given up: `call`'s stop token asks it to end early,
// and it runs on to its end on its own thread, where its result (say, a
// device it owns) is dropped. `call` must hold no Python object.
template <typename Call>
std::invoke_result_t<Call&, std::stop_token> interruptible(Call call) {
    using Result = std::invoke_result_t<Call&, std::stop_token>;
    struct Outcome {
        std::optional<Result> result;
        std::exception_ptr failure;
    };
    auto handover = std::make_shared<Handover>();
    auto outcome = std::make_shared<Outcome>();
    std::jthread worker([handover, outcome, call = std::move(call)](std::stop_token const& stop) {
        Handover::Scope const scope(handover.get());
        std::optional<Result> result;
        std::exception_ptr failure;
        try {
            result.emplace(call(stop));
        } catch (...) {
            failure = std::current_exception();
        }
        handover->finish([&] {
            outcome->result = std::move(result);
            outcome->failure = failure;
        });
    });  // a result given up goes with `result`, on the worker's thread
    try {
        handover->wait(worker.get_stop_source());
    } catch (...) {
        worker.detach();
        throw;
    }
    // Finished: joining costs only the worker's last instructions.
    without_gil([&] { worker.join(); });
    if (outcome->failure) {
        std::rethrow_exception(outcome->failure);
    }
    return std::move(*outcome->result);
}

}  // namespace zelm::python
