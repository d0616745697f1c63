#include "frame/class_builder.h"

#include "frame/globals.h"

namespace qlo {

ClassBuilder::ClassBuilder(const char* name, const char* source, py::tuple bases, std::string outer)
    : name_(name), qualname_(outer.empty() ? name : outer + "." + name), source_(source), bases_(std::move(bases)) {}

ClassBuilder& ClassBuilder::method(const FunctionSpec& spec) {
    members_.emplace_back(spec.name, make_function(spec, member_qualname(spec.name), source_));
    return *this;
}

ClassBuilder& ClassBuilder::static_method(const FunctionSpec& spec) {
    py::object f = make_function(spec, member_qualname(spec.name), source_);
    members_.emplace_back(spec.name, builtins().staticmethod(f));
    return *this;
}

ClassBuilder& ClassBuilder::property(const PropertySpec& spec) {
    std::string qualname = member_qualname(spec.name);
    py::object getter = make_function({spec.name, {{"self"}}, spec.getter, spec.returns}, qualname, source_);
    py::object setter = py::none();
    if (spec.setter)
        setter = make_function({spec.name, {{"self"}, {spec.setter_param, spec.setter_hint}}, spec.setter},
                               qualname, source_);
    py::object doc = spec.doc ? py::object(py::str(spec.doc)) : py::object(py::none());
    members_.emplace_back(spec.name, builtins().property(getter, setter, py::none(), doc));
    return *this;
}

ClassBuilder& ClassBuilder::generate_result(Impl impl) {
    return method({"_generate_result", {{"self"}}, impl, Ret::Any, true});
}

ClassBuilder& ClassBuilder::attribute(const char* name, py::object value) {
    members_.emplace_back(name, std::move(value));
    return *this;
}

ClassBuilder& ClassBuilder::doc(const char* text) {
    doc_ = text;
    return *this;
}

namespace {

// The most derived metaclass among the bases' types, as class statements choose it.
py::object metaclass_for(const py::tuple& bases) {
    py::object winner = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    for (py::handle base : bases) {
        py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
        auto w = reinterpret_cast<PyTypeObject*>(winner.ptr());
        auto m = reinterpret_cast<PyTypeObject*>(meta.ptr());
        if (PyType_IsSubtype(w, m)) continue;
        if (PyType_IsSubtype(m, w)) {
            winner = meta;
            continue;
        }
        raise_format(PyExc_TypeError,
                     "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                     "subclass of the metaclasses of all its bases");
    }
    return winner;
}

}  // namespace

py::object ClassBuilder::build() const {
    py::object meta = metaclass_for(bases_);
    py::str name(name_);
    py::object ns = meta.attr("__prepare__")(name, bases_);
    ns["__module__"] = py::str("qlo_cv");
    ns["__qualname__"] = py::str(qualname_);
    if (doc_) ns["__doc__"] = py::str(doc_);
    if (!bases_.empty()) ns["__orig_bases__"] = bases_;
    for (const auto& [member, value] : members_) ns[py::str(member)] = value;
    return meta(name, bases_, ns);
}

std::string mangled(const char* class_name, const char* attribute) {
    while (*class_name == '_') ++class_name;
    return std::string("_") + class_name + "__" + attribute;
}

}  // namespace qlo
