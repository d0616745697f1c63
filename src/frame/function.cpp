#include "frame/function.h"

#include "frame/binder.h"
#include "frame/globals.h"

#include <frameobject.h>

#include <exception>
#include <memory>
#include <new>

namespace qlo {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature* signature;
    Impl impl;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* source;
    PyCodeObject* code;  // made on the first exception, for traceback entries
    PyObject* weakrefs;  // observers and WeakMethod callbacks refer to functions weakly
};

// The slots are filled in by ready_function_type; the rest stays zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject g_function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// Converts whatever C++ threw into the Python error to restore.
void restore_error() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
}

void add_traceback(NativeFunction* f) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!f->code) {
        PyObject* name = PyUnicode_FromFormat("qlo_cv.%U", f->qualname);
        if (name) {
            f->code = PyCode_NewEmpty(PyUnicode_AsUTF8(f->source), PyUnicode_AsUTF8(name), 0);
            Py_DECREF(name);
        }
        if (!f->code) PyErr_Clear();
    }
    PyObject* module = module_state::module();
    PyObject* globals = module ? PyModule_GetDict(module) : nullptr;
    PyErr_SetRaisedException(exc);
    if (!f->code || !globals) return;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), f->code, globals, nullptr);
    if (!frame) return;  // keeps the new error; the original is lost only on memory exhaustion
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject* invoke(NativeFunction* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    try {
        Args bound;
        f->signature->bind(bound, args, PyVectorcall_NARGS(nargsf), kwnames);
        py::object result = f->impl(bound);
        if (!result) result = py::none();
        f->signature->check_return(result);
        return result.release().ptr();
    } catch (...) {
        restore_error();
    }
    add_traceback(f);
    return nullptr;
}

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    // Native calls nest without the interpreter seeing them (a chain node
    // asking its previous node for its image): counting each one against the
    // recursion limit turns a cycle or an absurdly deep chain into
    // RecursionError instead of a C stack overflow.
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback(f);
        return nullptr;
    }
    PyObject* result = invoke(f, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void dealloc(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    delete f->signature;
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->source);
    Py_XDECREF(f->code);
    Py_TYPE(self)->tp_free(self);
}

PyObject* repr(PyObject* self) {
    auto* f = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_signature(PyObject* self, void*) {
    try {
        return reinterpret_cast<NativeFunction*>(self)->signature->inspect_signature().release().ptr();
    } catch (...) {
        restore_error();
        return nullptr;
    }
}

PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("qlo_cv"); }

// Pickled by reference, as Python functions are: the qualified name is looked
// up in the module again when unpickling, and copy/deepcopy return the
// function itself.
PyObject* reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->qualname);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void ready_function_type() {
    if (g_function_type.tp_flags & Py_TPFLAGS_READY) return;
    g_function_type.tp_name = "qlo_cv.native_function";
    g_function_type.tp_basicsize = sizeof(NativeFunction);
    g_function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    g_function_type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    g_function_type.tp_call = PyVectorcall_Call;
    g_function_type.tp_descr_get = descr_get;
    g_function_type.tp_dealloc = dealloc;
    g_function_type.tp_repr = repr;
    g_function_type.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    g_function_type.tp_methods = methods;
    g_function_type.tp_members = members;
    g_function_type.tp_getset = getsets;
    if (PyType_Ready(&g_function_type) < 0) throw_error_already_set();
}

py::object make_function(const FunctionSpec& spec, const std::string& qualname, const char* source) {
    auto signature = std::make_unique<Signature>(spec.name, spec.params, spec.star_args, spec.returns);
    auto* f = PyObject_New(NativeFunction, &g_function_type);
    if (!f) throw_error_already_set();
    f->vectorcall = call;
    f->impl = spec.impl;
    f->signature = signature.release();
    f->name = PyUnicode_FromString(spec.name);
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    f->source = PyUnicode_FromString(source);
    f->code = nullptr;
    f->weakrefs = nullptr;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    if (!f->name || !f->qualname || !f->doc || !f->source) throw_error_already_set();
    return result;
}

}  // namespace qlo
