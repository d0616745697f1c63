#include "frame/globals.h"

#include <cstdarg>
#include <string>
#include <unordered_map>

namespace qlo {

namespace {

PyObject* g_module = nullptr;       // strong reference while imported
PyObject* g_module_dict = nullptr;  // borrowed from g_module
bool g_assertions = true;
Builtins* g_builtins = nullptr;

}  // namespace

// Keyed by the address of the literal; the strings live as long as the process.
py::handle interned(const char* literal) {
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(literal);
    if (it != cache.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(literal);
    if (!s) throw_error_already_set();
    cache.emplace(literal, s);
    return s;
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_error_already_set();
}

py::object global(const char* name) {
    PyObject* key = interned(name).ptr();
    if (g_module_dict) {
        PyObject* value = PyDict_GetItemWithError(g_module_dict, key);
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw_error_already_set();
    }
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    throw_error_already_set();
}

const Builtins& builtins() {
    if (!g_builtins) raise_format(PyExc_RuntimeError, "qlo_cv is not initialised");
    return *g_builtins;
}

bool assertions_enabled() { return g_assertions; }

void assert_that(bool condition, const char* message) {
    if (!g_assertions || condition) return;
    if (message)
        PyErr_SetString(PyExc_AssertionError, message);
    else
        PyErr_SetNone(PyExc_AssertionError);
    throw_error_already_set();
}

namespace module_state {

void bind(PyObject* module) {
    Py_INCREF(module);
    g_module = module;
    g_module_dict = PyModule_GetDict(module);
}

void release() {
    g_module_dict = nullptr;
    Py_CLEAR(g_module);
    delete g_builtins;
    g_builtins = nullptr;
}

PyObject* module() { return g_module; }

void load_builtins(PyObject* builtins_module) {
    auto lookup = [&](const char* name) {
        PyObject* value = PyObject_GetAttrString(builtins_module, name);
        if (!value) {
            PyErr_Clear();
            raise_format(PyExc_NameError, "name '%s' is not defined", name);
        }
        return py::reinterpret_steal<py::object>(value);
    };
    auto* b = new Builtins{lookup("staticmethod"), lookup("property"),  lookup("range"),
                           lookup("ValueError"),   lookup("enumerate"), lookup("AssertionError"),
                           lookup("print"),        lookup("sorted"),    lookup("round")};
    delete g_builtins;
    g_builtins = b;
}

void set_assertions(bool enabled) { g_assertions = enabled; }

}  // namespace module_state

}  // namespace qlo
