// Registration of the image chain's module-level names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_chain_core(Registry& registry);

}  // namespace qlo
