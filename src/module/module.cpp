// Module initialisation: multi-phase, with entry points for `qlo_cv` and for
// `__init__` (so the same file can serve as a package's __init__). The module
// may live in one interpreter per process and is initialised once.
#include <cstdint>

#include "frame/function.h"
#include "frame/globals.h"
#include "module/names.h"

namespace qlo {

namespace {

constexpr const char* kModuleName = "qlo_cv";

bool same_interpreter() {
    static std::int64_t first_interpreter = -1;
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (first_interpreter == -1) first_interpreter = current;
    if (first_interpreter == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

// Copies spec.<from> into the module's namespace as <to>; a missing attribute is skipped.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    int rc = (allow_none || value != Py_None) ? PyDict_SetItemString(dict, to, value) : 0;
    Py_DECREF(value);
    return rc == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!same_interpreter()) return nullptr;
    if (PyObject* existing = module_state::module()) return Py_NewRef(existing);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

void check_python_version() {
    const char* runtime = Py_GetVersion();
    int major = 0, minor = 0;
    if (sscanf(runtime, "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    if (PyErr_WarnEx(nullptr, message, 1) < 0) throw_error_already_set();
}

bool read_debug_flag(PyObject* builtins_module) {
    PyObject* flag = PyObject_GetAttrString(builtins_module, "__debug__");
    if (!flag) {
        PyErr_Clear();
        return true;
    }
    int on = PyObject_IsTrue(flag);
    Py_DECREF(flag);
    if (on < 0) {
        PyErr_Clear();
        return true;
    }
    return on != 0;
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kModuleName);
    if (!present && PyDict_SetItemString(modules, kModuleName, module) < 0) throw_error_already_set();
}

// The library aliases, bound in this order.
void import_aliases(py::handle m) {
    py::object cv = import_module("cv2");
    m.attr("cv2") = cv;
    m.attr("_cv") = cv;
    m.attr("_Enum") = import_module("enum").attr("Enum");
    m.attr("cmp_to_key") = import_module("functools").attr("cmp_to_key");
    m.attr("_math") = import_module("math");
    m.attr("_np") = import_module("numpy");
    m.attr("load_workbook") = import_module("openpyxl").attr("load_workbook");
    m.attr("_Path") = import_module("pathlib").attr("Path");
    m.attr("_leastsq") = import_module("scipy.optimize").attr("leastsq");
    m.attr("_maxsize") = import_module("sys").attr("maxsize");
    py::object typing = import_module("typing");
    for (const char* name : {"List", "Union", "Tuple", "Sequence", "Optional", "Callable"})
        m.attr((std::string("_") + name).c_str()) = typing.attr(name);
}

// The module object is being freed (its interpreter is finalising, or every
// reference was dropped): forget it, so that a later import builds a working
// module instead of handing back this one with its names cleared.
void free_module(void* module) {
    if (module_state::module() == module) module_state::release();
}

// A module kept alive past finalisation by some stray reference is never
// freed; the state it left must not outlive its interpreter either.
void forget_at_exit() { module_state::forget(); }

void forget_module(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kModuleName);
    if (present == module) PyDict_DelItemString(modules, kModuleName);
    module_state::release();
}

int exec_module(PyObject* module) {
    if (PyObject* existing = module_state::module()) {
        if (existing == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'qlo_cv' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    static bool exit_hook = false;
    if (!exit_hook) exit_hook = Py_AtExit(forget_at_exit) == 0;
    module_state::bind(module);
    try {
        PyObject* builtins_module = PyImport_AddModule("builtins");
        if (!builtins_module) throw_error_already_set();
        if (PyModule_AddObjectRef(module, "__builtins__", builtins_module) < 0) throw_error_already_set();
        check_python_version();
        module_state::set_assertions(read_debug_flag(builtins_module));
        register_in_sys_modules(module);
        module_state::load_builtins(builtins_module);
        ready_function_type();
        // The object layer's shared state is made lazily, on the first
        // release of a Python error; made at the bottom of a recursion that
        // just hit the limit it fails and reports the failure recursively.
        // Made here, at import, it is always ready.
        ready_object_layer();
        py::handle m(module);
        import_aliases(m);
        // NumPy's own types, for the fast paths' array and scalar checks.
        record_original("_np.ndarray");
        record_original("_np.generic");
        define_module_names(m);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    // A failed import leaves nothing behind: a later import starts afresh.
    PyObject* exc = PyErr_GetRaisedException();
    forget_module(module);
    PyErr_SetRaisedException(exc);
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Machine-vision toolkit for production lines: lazy image chains, shift-tolerant inspection,\n"
    "measurement, inspection regions and robot guidance.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    free_module,
};

}  // namespace

}  // namespace qlo

PyMODINIT_FUNC PyInit_qlo_cv() { return PyModuleDef_Init(&qlo::g_module_def); }
PyMODINIT_FUNC PyInit___init__() { return PyModuleDef_Init(&qlo::g_module_def); }
