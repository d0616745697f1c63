// Access to the module's namespace at call time, the builtins captured at
// import and the assertion switch.
#pragma once


#include "frame/object.h"

namespace qlo {

// The module global `name`, looked up now (so rebinding it from Python takes
// effect on the next call), falling back to the builtins; NameError if neither
// has it.
py::object global(const char* name);

// The interned Python str for a name literal, made once per literal: attribute
// access with it skips building and hashing a new string on every call
// (`obj.attr(interned("_cache"))`, `py::setattr(obj, interned("x"), v)`).
py::handle interned(const char* literal);

// Fast paths stand in for calls through module globals, so they run only
// while those globals are still bound to the objects the module bound at
// import. record_original (at import) remembers the current binding of a name
// (an unbound name stays unrecorded); still_original is false once the name
// is rebound, unbound, or was never recorded. The records live and die with
// the module. A dotted name "_np.logical_and" is the attribute of a module
// global (a library function the general path calls through it); reading an
// existing module attribute runs no Python code. original(name) is the
// recorded object (null when none), e.g. a library type a fast path makes its
// output with. Names are literals, as for interned(): after the first call a
// name's record is found by the literal's address, and a check makes no string.
void record_original(const char* name);
bool still_original(const char* name);
py::handle original(const char* name);

// A fast path's output array that no one else holds any more, kept so that
// the next call fills it again instead of allocating: a fresh buffer of
// megabytes costs its page faults again whenever the allocator has handed the
// last one back to the system. As many arrays per key as calls needed at once
// (threads), at most four; released with the module. keep_spare takes the
// array only while the caller holds its sole reference; take_spare hands each
// out once (null when none is kept).
void keep_spare(const char* key, py::object array);
py::object take_spare(const char* key);

// Builtins the module's code uses, looked up once at import.
struct Builtins {
    py::object staticmethod, property, range, ValueError, enumerate,
        AssertionError, print, sorted, round;
};
const Builtins& builtins();

// True unless the interpreter ran with optimisation when the module was imported.
bool assertions_enabled();

// Raises AssertionError (with `message`, or none) when assertions are enabled
// and `condition` is false. Callers evaluate a Python condition only when
// assertions_enabled() is true, exactly like an `assert` statement.
void assert_that(bool condition, const char* message = nullptr);

// Module layer only: binding the namespace at import, releasing it when the
// import fails or the module object is freed, and forgetting it (without
// touching any object) after the interpreter was finalised.
namespace module_state {
void bind(PyObject* module);
void release();
void forget();
PyObject* module();  // borrowed; null before import
void load_builtins(PyObject* builtins_module);
void set_assertions(bool enabled);
}  // namespace module_state

}  // namespace qlo
