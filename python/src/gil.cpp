#include "gil.hpp"

#include "bindings.hpp"

#include <pythread.h>

namespace zelm::python {

namespace {

namespace py = pybind11;

// Who may still take the GIL. Until the interpreter begins to exit, every
// thread; from then on the main thread, which runs the exit, and a thread
// already running Python for the library (it must finish, or the exit
// would wait for it forever). The exit waits for every thread counted
// `inside`, so that none is still on its way to the GIL when the
// interpreter starts to end threads that take it.
struct ExitGate {
    std::mutex mutex;
    std::condition_variable idle;
    bool exiting = false;
    int inside = 0;  // threads taking the GIL through the gate, or running Python for the library
};

// Lives as long as the process: the library's threads may ask after the
// interpreter is gone. A forked child starts a gate of its own, since
// another thread may have held the mutex at the fork.
ExitGate* gate_of_this_process = new ExitGate;

ExitGate& exit_gate() { return *gate_of_this_process; }

unsigned long main_thread = 0;  // Python's main thread: the one that runs the exit
thread_local int python_for_library = 0;  // with_python calls in progress on this thread
thread_local Handover* this_threads_handover = nullptr;

bool may_take_gil_while_exiting() { return PyThread_get_thread_ident() == main_thread || python_for_library > 0; }

// Counts the thread inside the gate while it lives; refused once the
// interpreter is exiting, unless the thread may still take the GIL.
class GatePass {
public:
    GatePass() {
        auto& gate = exit_gate();
        std::lock_guard const lock(gate.mutex);
        admitted = !gate.exiting || may_take_gil_while_exiting();
        gate.inside += admitted ? 1 : 0;
    }
    ~GatePass() {
        if (!admitted) {
            return;
        }
        auto& gate = exit_gate();
        std::lock_guard const lock(gate.mutex);
        if (--gate.inside == 0) {
            gate.idle.notify_all();
        }
    }
    GatePass(GatePass const&) = delete;
    GatePass& operator=(GatePass const&) = delete;

    bool admitted = false;
};

// A daemon thread that came back after the interpreter began to exit: it
// holds no lock and waits for the process to end.
[[noreturn]] void wait_for_the_end() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

// The module's atexit hook, registered before the module's others, so that
// it runs after them (leaving the cluster still tells callbacks).
void close_for_exit() {
    auto& gate = exit_gate();
    {
        std::lock_guard const lock(gate.mutex);
        gate.exiting = true;
    }
    without_gil([&] {
        std::unique_lock lock(gate.mutex);
        gate.idle.wait(lock, [&] { return gate.inside == 0; });
    });
}

bool on_main_thread() { return PyThread_get_thread_ident() == main_thread; }

// The thread that forked is the child's only one, and its main thread from
// now on.
void after_fork_in_child() {
    main_thread = PyThread_get_thread_ident();
    gate_of_this_process = new ExitGate;
}

// How long a wait lasts before it looks at Python's signals, where it can.
std::chrono::milliseconds wait_slice(bool handles_signals) {
    // Elsewhere a long slice: nothing is to be done between slices there.
    return handles_signals ? signal_check_interval : std::chrono::milliseconds(std::chrono::hours(24));
}

}  // namespace

namespace gil {

PyThreadState* release() { return PyEval_SaveThread(); }

void take_back(PyThreadState* state) {
    GatePass const pass;
    if (!pass.admitted) {
        wait_for_the_end();
    }
    PyEval_RestoreThread(state);
}

}  // namespace gil

bool with_python(std::function<void()> const& call) {
    if (auto* const handover = Handover::of_this_thread(); handover != nullptr && handover->call_python(call)) {
        return true;
    }
    GatePass const pass;
    if (!pass.admitted) {
        return false;
    }
    struct Counted {
        Counted() { ++python_for_library; }
        ~Counted() { --python_for_library; }
        Counted(Counted const&) = delete;
        Counted& operator=(Counted const&) = delete;
    } const counted;
    if (PyGILState_Check() != 0) {
        call();
    } else {
        py::gil_scoped_acquire const acquired;
        call();
    }
    return true;
}

bool Handover::call_python(std::function<void()> const& call) {
    PendingCall pending_call{&call};
    std::unique_lock lock(mutex);
    if (given_up) {
        return false;
    }
    pending.push_back(&pending_call);
    changed.notify_all();
    changed.wait(lock, [&] { return pending_call.done || given_up; });
    if (!pending_call.done) {
        std::erase(pending, &pending_call);
    }
    return pending_call.done;
}

bool Handover::finish(std::function<void()> const& publish) {
    std::lock_guard const lock(mutex);
    finished = true;
    changed.notify_all();
    if (!given_up) {
        publish();
    }
    return !given_up;
}

void Handover::run(PendingCall& pending_call) {
    struct Done {
        Handover& handover;
        PendingCall& call;
        ~Done() {
            std::lock_guard const lock(handover.mutex);
            call.done = true;
            handover.changed.notify_all();
        }
    } const done{*this, pending_call};
    (*pending_call.call)();  // with the GIL, as with_python runs it
}

void Handover::wait(std::stop_source stop) {
    bool const handles_signals = on_main_thread();
    auto const slice = wait_slice(handles_signals);
    for (;;) {
        std::vector<PendingCall*> calls;
        auto const done = without_gil([&] {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, slice, [&] { return finished || !pending.empty(); });
            calls.swap(pending);
            return finished;
        });
        if (done) {
            return;  // a finished worker calls nothing
        }
        for (auto* const pending_call : calls) {
            run(*pending_call);
        }
        if (handles_signals && PyErr_CheckSignals() != 0) {
            std::lock_guard const lock(mutex);
            given_up = true;
            stop.request_stop();
            changed.notify_all();
            throw py::error_already_set();
        }
    }
}

Handover* Handover::of_this_thread() { return this_threads_handover; }

Handover::Scope::Scope(Handover* handover) : previous(std::exchange(this_threads_handover, handover)) {}

Handover::Scope::~Scope() { this_threads_handover = previous; }

void wait_interruptibly(std::function<bool(std::chrono::milliseconds timeout)> const& wait_for) {
    bool const handles_signals = on_main_thread();
    auto const slice = wait_slice(handles_signals);
    while (!without_gil([&] { return wait_for(slice); })) {
        if (handles_signals && PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
}

void bind_interpreter_exit(py::module_& module) {
    main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    py::module_::import("atexit").attr("register")(py::cpp_function(&close_for_exit));
    py::module_::import("os").attr("register_at_fork")(py::arg("after_in_child") = py::cpp_function(&after_fork_in_child));
    static_cast<void>(module);
}

}  // namespace zelm::python
