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
// and only costs a little time).
bool on_signal_thread() {
    PyObject* threading = PyImport_GetModule(interned("threading").ptr());
    if (!threading) {
        PyErr_Clear();
        return true;
    }
    bool main = true;
    PyObject* thread = PyObject_CallMethodNoArgs(threading, interned("main_thread").ptr());
    PyObject* ident = thread ? PyObject_GetAttr(thread, interned("ident").ptr()) : nullptr;
    if (ident && PyLong_Check(ident)) {
        unsigned long value = PyLong_AsUnsignedLong(ident);
        if (!PyErr_Occurred()) main = value == PyThread_get_thread_ident();
    }
    PyErr_Clear();
    Py_XDECREF(ident);
    Py_XDECREF(thread);
    Py_DECREF(threading);
    return main;
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
