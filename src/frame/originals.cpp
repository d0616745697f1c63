#include "frame/originals.h"

#include "frame/globals.h"

namespace qlo {

void Originals::record() {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        PyObject* current = nullptr;
        try {
            current = global(names_[i]).release().ptr();
        } catch (py::error_already_set&) {
            // not defined: the fast path stays off
        }
        Py_XSETREF(objects_[i], current);
    }
}

bool Originals::bound() const {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (!objects_[i]) return false;
        try {
            if (global(names_[i]).ptr() != objects_[i]) return false;
        } catch (py::error_already_set&) {
            return false;  // unbound: the general path raises the NameError where it looks the name up
        }
    }
    return true;
}

}  // namespace qlo
