// Registration of the measurement helpers' module-level names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_circle_fit(Registry& registry);
void register_band_filters(Registry& registry);
void register_warps(Registry& registry);
void register_vertical_profiles(Registry& registry);
void register_template_match(Registry& registry);

}  // namespace qlo
