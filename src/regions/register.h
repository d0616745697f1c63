// Registration of the region subsystem's module-level names: region
// extraction and ordering, the corresponding-region search, and shapes and
// inspection regions.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_binary_swap(Registry& registry);
void register_extraction(Registry& registry);
void register_corresponding_region(Registry& registry);
void register_shapes(Registry& registry);
void register_region_masks(Registry& registry);

}  // namespace qlo
