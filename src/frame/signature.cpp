#include "frame/binder.h"

namespace qlo {

Signature::Signature(std::string name, std::vector<Param> params, bool star_args, Ret returns)
    : name_(std::move(name)), params_(std::move(params)), star_args_(star_args), returns_(returns) {
    if (params_.size() > kMaxParams) raise_format(PyExc_SystemError, "%s: too many parameters", name_.c_str());
    bool seen_default = false;
    for (const Param& p : params_) {
        PyObject* s = PyUnicode_InternFromString(p.name);
        if (!s) throw_error_already_set();
        names_.push_back(py::reinterpret_steal<py::object>(s));
        if (p.fallback)
            seen_default = true;
        else if (seen_default)
            raise_format(PyExc_SystemError, "%s: required parameter after a default", name_.c_str());
        else
            ++required_;
    }
}

void Signature::raise_count(Py_ssize_t given) const {
    Py_ssize_t total = static_cast<Py_ssize_t>(params_.size());
    bool exact = required_ == total;
    Py_ssize_t expected = given < required_ ? required_ : total;
    const char* how = exact ? "exactly" : (given < required_ ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name_.c_str(), how, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t Signature::find_keyword(PyObject* key) const {
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (names_[i].ptr() == key) return static_cast<Py_ssize_t>(i);
    for (std::size_t i = 0; i < names_.size(); ++i) {
        int eq = PyUnicode_Compare(names_[i].ptr(), key);
        if (eq == -1 && PyErr_Occurred()) throw_error_already_set();
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

void Signature::bind(Args& out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    Py_ssize_t total = static_cast<Py_ssize_t>(params_.size());
    if (nargs > total && !star_args_) raise_count(nargs);
    Py_ssize_t npos = nargs < total ? nargs : total;
    for (Py_ssize_t i = 0; i < npos; ++i) out.values_[i] = py::reinterpret_borrow<py::object>(args[i]);

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k)))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name_.c_str());

    // Parameters not given by position take their keyword, in parameter
    // order; a missing required one is reported before any stray keyword.
    Py_ssize_t used = 0;
    for (Py_ssize_t i = npos; i < total; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (find_keyword(key) == i) {
                out.values_[i] = py::reinterpret_borrow<py::object>(kwvalues[k]);
                ++used;
                break;
            }
        }
        if (!out.values_[i]) {
            if (!params_[i].fallback) raise_count(i);
            out.values_[i] = params_[i].fallback;
        }
    }
    if (used < nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = find_keyword(key);
            if (i >= 0 && i < npos)
                raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             name_.c_str(), key);
            if (i < 0 && !star_args_)
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             name_.c_str(), key);
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) apply_hint(static_cast<std::size_t>(i), out.values_[i]);
}

void check_exact(py::handle value, PyTypeObject* type, const char* param, bool none_ok) {
    if (Py_TYPE(value.ptr()) == type || (none_ok && value.is_none())) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

py::object to_float(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw_error_already_set();
    return steal(PyFloat_FromDouble(d));
}

void Signature::apply_hint(std::size_t i, py::object& value) const {
    const Param& p = params_[i];
    bool default_none = p.fallback && p.fallback.is_none();
    switch (p.hint) {
        case Hint::Any: return;
        case Hint::Int: return check_exact(value, &PyLong_Type, p.name, default_none);
        case Hint::Str: return check_exact(value, &PyUnicode_Type, p.name, default_none);
        case Hint::List: return check_exact(value, &PyList_Type, p.name, default_none);
        case Hint::Tuple: return check_exact(value, &PyTuple_Type, p.name, default_none);
        case Hint::OptInt: return check_exact(value, &PyLong_Type, p.name, true);
        case Hint::OptFloat: return check_exact(value, &PyFloat_Type, p.name, true);
        case Hint::OptTuple: return check_exact(value, &PyTuple_Type, p.name, true);
        case Hint::Float: value = to_float(value); return;
    }
}

void Signature::check_return(py::handle result) const {
    PyTypeObject* type = nullptr;
    switch (returns_) {
        case Ret::Any: return;
        case Ret::Int: type = &PyLong_Type; break;
        case Ret::Str: type = &PyUnicode_Type; break;
        case Ret::List: type = &PyList_Type; break;
        case Ret::Tuple: type = &PyTuple_Type; break;
    }
    if (Py_TYPE(result.ptr()) == type || result.is_none()) return;
    raise_format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(result.ptr())->tp_name);
}

py::object Signature::inspect_signature() const {
    py::object inspect = import_module("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::list params;
    for (std::size_t i = 0; i < params_.size(); ++i) {
        py::dict kw;
        if (params_[i].fallback) kw["default"] = params_[i].fallback;
        params.append(parameter(names_[i], parameter.attr("POSITIONAL_OR_KEYWORD"), **kw));
    }
    if (star_args_) {
        params.append(parameter("args", parameter.attr("VAR_POSITIONAL")));
        params.append(parameter("kwargs", parameter.attr("VAR_KEYWORD")));
    }
    return inspect.attr("Signature")(params);
}

}  // namespace qlo
