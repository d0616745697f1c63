#include "frame/globals.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace qlo {

namespace {

// Borrowed: the module's own m_free forgets it when the module object dies,
// so a later interpreter of the same process builds a fresh module.
PyObject* g_module = nullptr;
PyObject* g_module_dict = nullptr;  // borrowed from g_module
bool g_assertions = true;
Builtins* g_builtins = nullptr;

// Interned names, keyed by the address of the literal. They belong to the
// interpreter that made them and are forgotten with the module.
std::unordered_map<const char*, PyObject*> g_interned;

// A recorded binding: the object (a strong reference, so an identity match
// cannot come from a reused address) and the interned parts of its name, the
// head (null for a plain name) and the attribute or plain name, so that a
// check allocates nothing.
struct Original {
    PyObject* value = nullptr;
    PyObject* head = nullptr;
    PyObject* name = nullptr;
};
std::unordered_map<std::string, Original> g_originals;
// The records by the address of the name literal a caller passes (fast paths
// check the same literals on every call); found by content the first time.
std::unordered_map<const char*, const Original*> g_originals_by_literal;

// Spare output arrays by key, each the only reference to its array: as many
// as calls have needed at once (threads), up to kSparesPerKey.
constexpr size_t kSparesPerKey = 4;
std::unordered_map<std::string, std::vector<PyObject*>> g_spares;

}  // namespace

py::handle interned(const char* literal) {
    auto it = g_interned.find(literal);
    if (it != g_interned.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(literal);
    if (!s) throw_error_already_set();
    g_interned.emplace(literal, s);
    return s;
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

namespace {

// The current binding of a name or dotted name (see record_original). The
// head of a dotted name is looked up with a str of its own: interned() keys
// its cache by the literal's address, which a part of a name does not have.
py::object current_binding(const char* name) {
    const char* dot = std::strchr(name, '.');
    if (!dot) return global(name);
    py::object head = steal(PyUnicode_FromStringAndSize(name, dot - name));
    PyObject* value = g_module_dict ? PyDict_GetItemWithError(g_module_dict, head.ptr()) : nullptr;
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", head.ptr());
        throw_error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value).attr(dot + 1);
}

}  // namespace

void record_original(const char* name) {
    PyObject* current = nullptr;
    try {
        current = current_binding(name).release().ptr();
    } catch (py::error_already_set&) {
        return;  // unbound: the fast path stays off
    }
    Original& slot = g_originals[name];
    Py_XSETREF(slot.value, current);
    if (slot.name) return;
    const char* dot = std::strchr(name, '.');
    slot.head = dot ? PyUnicode_InternFromString(std::string(name, dot).c_str()) : nullptr;
    slot.name = PyUnicode_InternFromString(dot ? dot + 1 : name);
    if (!slot.name || (dot && !slot.head)) {
        PyErr_Clear();
        Py_CLEAR(slot.head);
        Py_CLEAR(slot.name);
    }
}

namespace {

const Original* recorded(const char* name) {
    auto known = g_originals_by_literal.find(name);
    if (known != g_originals_by_literal.end()) return known->second;
    auto it = g_originals.find(name);
    if (it == g_originals.end()) return nullptr;
    g_originals_by_literal.emplace(name, &it->second);
    return &it->second;
}

// Whether `name` is still bound to its record, as current_binding would find
// it (the module's namespace, then the builtins for a plain name; the head's
// attribute for a dotted one), without making a string. Any error counts as
// unbound: the general path raises it where it looks the name up.
bool binding_is(const char* name, const Original& o) {
    if (!o.name) {
        try {
            return current_binding(name).ptr() == o.value;
        } catch (py::error_already_set&) {
            return false;
        }
    }
    if (!g_module_dict) return false;
    PyObject* value = PyDict_GetItemWithError(g_module_dict, o.head ? o.head : o.name);
    if (!value && !o.head && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), o.name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    if (!o.head) return value == o.value;
    PyObject* attribute = PyObject_GetAttr(value, o.name);
    if (!attribute) {
        PyErr_Clear();
        return false;
    }
    bool same = attribute == o.value;
    Py_DECREF(attribute);
    return same;
}

}  // namespace

bool still_original(const char* name) {
    const Original* o = recorded(name);
    return o && binding_is(name, *o);
}

py::handle original(const char* name) {
    const Original* o = recorded(name);
    return o ? py::handle(o->value) : py::handle();
}

void keep_spare(const char* key, py::object array) {
    if (!array || Py_REFCNT(array.ptr()) != 1 || !g_module) return;
    std::vector<PyObject*>& spares = g_spares[key];
    if (spares.size() < kSparesPerKey) spares.push_back(array.release().ptr());
}

py::object take_spare(const char* key) {
    auto it = g_spares.find(key);
    if (it == g_spares.end() || it->second.empty()) return {};
    PyObject* array = it->second.back();
    it->second.pop_back();
    return steal(array);
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
    g_module = module;
    g_module_dict = PyModule_GetDict(module);
}

void release() {
    g_module_dict = nullptr;
    g_module = nullptr;
    delete g_builtins;
    g_builtins = nullptr;
    for (auto& entry : g_interned) Py_DECREF(entry.second);
    g_interned.clear();
    for (auto& entry : g_originals) {
        Py_DECREF(entry.second.value);
        Py_XDECREF(entry.second.head);
        Py_XDECREF(entry.second.name);
    }
    g_originals.clear();
    g_originals_by_literal.clear();
    for (auto& entry : g_spares)
        for (PyObject* array : entry.second) Py_DECREF(array);
    g_spares.clear();
}

void forget() {
    g_module_dict = nullptr;
    g_module = nullptr;
    g_builtins = nullptr;  // its objects went with the interpreter; nothing to release
    g_interned.clear();
    g_originals.clear();
    g_originals_by_literal.clear();
    g_spares.clear();
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
