// Builds ordinary Python classes (plain `type` instances with a __dict__,
// subclassable from Python) whose methods and properties are native functions.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "frame/function.h"
#include "frame/globals.h"

namespace qlo {

struct PropertySpec {
    const char* name;
    Impl getter;
    Ret returns = Ret::Any;
    Impl setter = nullptr;  // read-only when null; called as (self, value)
    Hint setter_hint = Hint::Any;
    const char* setter_param = "value";
    const char* doc = nullptr;
};

class ClassBuilder {
public:
    // `outer` is the qualified name of the enclosing class for nested classes.
    ClassBuilder(const char* name, const char* source, py::tuple bases = py::tuple(), std::string outer = "");

    // A method; its parameters include `self`.
    ClassBuilder& method(const FunctionSpec& spec);
    ClassBuilder& static_method(const FunctionSpec& spec);
    ClassBuilder& property(const PropertySpec& spec);
    // `_generate_result(self, *args, **kwargs)` of the image chain.
    ClassBuilder& generate_result(Impl impl);
    // Any other class attribute (a nested class, a constant).
    ClassBuilder& attribute(const char* name, py::object value);
    ClassBuilder& doc(const char* text);

    const std::string& qualname() const { return qualname_; }
    const char* source() const { return source_; }

    // Creates the class through the normal protocol: metaclass from the bases,
    // __prepare__, the namespace in definition order, then metaclass(name, bases, ns).
    py::object build() const;

private:
    std::string member_qualname(const char* member) const { return qualname_ + "." + member; }

    std::string name_;
    std::string qualname_;
    const char* source_;
    py::tuple bases_;
    const char* doc_ = nullptr;
    std::vector<std::pair<std::string, py::object>> members_;
};

// Getter of a property over the stored attribute `Attr` (usually a mangled
// private name such as "_ImageChainBase__previous").
template <const char* Attr>
py::object stored(Args& a) {
    return a[0].attr(interned(Attr));
}

// Setter of a property over the stored attribute `Attr`: stores the value.
template <const char* Attr>
py::object store(Args& a) {
    py::setattr(a[0], interned(Attr), a[1]);
    return py::none();
}

// The mangled name of a private attribute, as a class body would write it:
// "_" + class name (leading underscores stripped) + "__" + attribute.
std::string mangled(const char* class_name, const char* attribute);

}  // namespace qlo
