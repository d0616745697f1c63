// Signals during long native work. The interpreter runs the handlers of
// pending signals (Ctrl-C's KeyboardInterrupt, an alarm's handler) between
// bytecodes; native code runs no bytecode, so a loop whose length the caller
// controls runs them itself:
// - a loop holding the GIL calls check_signals() once per round;
// - a kernel working without the GIL runs inside without_gil(), which hands
//   it an Interrupt to poll between units of work.
// Either way a handler's exception leaves the native call as that Python
// exception, and the work it cut short is dropped: a loop is interrupted
// only between rounds, and a kernel's incomplete output is discarded.
#pragma once

#include <Python.h>

#include <chrono>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/interrupt.h"

namespace qlo {

// Runs the pending signal handlers (GIL held) and throws the exception one
// of them raised. A few nanoseconds when nothing is pending.
void check_signals();

// The Interrupt of a kernel running without the GIL. Only the main thread
// runs signal handlers, so on any other thread it never asks. On the main
// thread, at most every few milliseconds, it takes the GIL back, runs the
// pending handlers and gives the GIL up again; when a handler raises it keeps
// the exception and asks the kernel to stop. A poll that had to wait for the
// GIL (another thread running Python) spaces the next ones out, so waiting
// costs at most about a tenth of the kernel's time.
class SignalPoll final : public kernels::Interrupt {
public:
    SignalPoll();  // GIL held
    ~SignalPoll();  // GIL held
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    bool requested() override;  // between release() and reacquire()
    void release();
    void reacquire();
    // GIL held: throws the exception a handler raised while it was released.
    void raise_pending();

private:
    using Clock = std::chrono::steady_clock;
    PyThreadState* state_ = nullptr;
    bool polls_ = false;
    bool stop_ = false;
    PyObject* error_ = nullptr;
    Clock::time_point next_{};
};

// Runs work(interrupt) with the GIL released and returns its result; the
// exception of a signal handler that ran meanwhile is thrown once the GIL is
// held again.
template <class Work>
auto without_gil(Work&& work) {
    SignalPoll poll;
    kernels::Interrupt& interrupt = poll;
    struct Released {
        SignalPoll& poll;
        explicit Released(SignalPoll& p) : poll(p) { poll.release(); }
        ~Released() { poll.reacquire(); }
    };
    if constexpr (std::is_void_v<decltype(work(interrupt))>) {
        {
            Released released(poll);
            work(interrupt);
        }
        poll.raise_pending();
    } else {
        std::optional<decltype(work(interrupt))> result;
        {
            Released released(poll);
            result.emplace(work(interrupt));
        }
        poll.raise_pending();
        return std::move(*result);
    }
}

}  // namespace qlo
