// Registration of the image chain's module-level names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_chain_core(Registry& registry);
void register_transforms(Registry& registry);
void register_warp_nodes(Registry& registry);
void register_thresholds(Registry& registry);

}  // namespace qlo
