// Module globals as bound at import, for native fast paths that stand in for
// calls to them: a fast path runs only while every global it replaces is
// still bound to the object recorded, so rebinding one from Python (to wrap
// or replace it) sends later calls through the general path.
#pragma once

#include <vector>

#include "frame/object.h"

namespace qlo {

class Originals {
public:
    explicit Originals(std::vector<const char*> names) : names_(std::move(names)), objects_(names_.size()) {}

    // Called once at import, after the names are defined. The references are
    // kept for the life of the process (the module loads once per process),
    // so an identity match cannot come from a reused address.
    void record();
    // True while every name is still bound to its recorded object.
    bool bound() const;

private:
    std::vector<const char*> names_;
    std::vector<PyObject*> objects_;
};

}  // namespace qlo
