// Registration of the contour geometry's module-level names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_contour_functions(Registry& registry);
void register_contour_class(Registry& registry);
void register_matching_angle(Registry& registry);

}  // namespace qlo
