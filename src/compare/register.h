// Registration of the inspection subsystem's module-level names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_compare_result(Registry& registry);
void register_shift_comparator(Registry& registry);
void register_simple_compare(Registry& registry);
void register_barcode_contours(Registry& registry);
void register_barcode_compare(Registry& registry);

}  // namespace qlo
