#include "frame/interrupts.h"

#include <algorithm>

#include "frame/globals.h"
#include "frame/object.h"

namespace qlo {

namespace {

// The longest a kernel on the main thread works between two looks at the
// pending signals, while the GIL comes back at once.
constexpr std::chrono::milliseconds kPollInterval{5};

// False on a thread other than threading's main thread, which never runs
// signal handlers; true when that cannot be told (a poll there finds nothing
// and only costs a little time). Asking runs Python code, so a pending
// signal's handler may run and raise here: that exception is thrown.
bool on_signal_thread() {
    PyObject* threading = PyImport_GetModule(interned("threading").ptr());
    if (!threading) {
        if (PyErr_Occurred()) throw_error_already_set();
        return true;  // threading not imported: nothing to ask
    }
    py::object module = steal(threading);
    py::object ident = module.attr(interned("main_thread"))().attr(interned("ident"));
    if (!PyLong_CheckExact(ident.ptr())) return true;
    unsigned long value = PyLong_AsUnsignedLong(ident.ptr());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // not a thread identifier
        return true;
    }
    return value == PyThread_get_thread_ident();
}

}  // namespace

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw_error_already_set();
}

SignalPoll::SignalPoll() : polls_(on_signal_thread()), next_(Clock::now() + kPollInterval) {}

SignalPoll::~SignalPoll() { Py_XDECREF(error_); }

void SignalPoll::release() { state_ = PyEval_SaveThread(); }

void SignalPoll::reacquire() { PyEval_RestoreThread(state_); }

bool SignalPoll::requested() {
    if (stop_) return true;
    if (!polls_) return false;
    Clock::time_point asked = Clock::now();
    if (asked < next_) return false;
    PyEval_RestoreThread(state_);
    Clock::duration waited = Clock::now() - asked;
    if (PyErr_CheckSignals() != 0) {
        error_ = PyErr_GetRaisedException();
        stop_ = true;
    }
    state_ = PyEval_SaveThread();
    next_ = Clock::now() + std::max<Clock::duration>(kPollInterval, 10 * waited);
    return stop_;
}

void SignalPoll::raise_pending() {
    if (!error_) return;
    PyErr_SetRaisedException(error_);
    error_ = nullptr;
    throw_error_already_set();
}

}  // namespace qlo
