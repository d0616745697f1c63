#pragma once

#include "frame/object.h"

namespace qlo {

// Defines every module-level name that a capability provides, in the order of
// the module's table of names.
void define_module_names(py::handle module);

}  // namespace qlo
