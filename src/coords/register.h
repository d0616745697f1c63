// Registration of the camera/robot coordinate translation names.
#pragma once

#include "frame/registry.h"

namespace qlo {

void register_single_camera_translator(Registry& registry);
void register_rotation_displacement(Registry& registry);
void register_rotating_translators(Registry& registry);
void register_external_target_translator(Registry& registry);
void register_couple_camera_translator(Registry& registry);
void register_camera_calibration(Registry& registry);

// All of the above.
inline void register_coords(Registry& registry) {
    register_single_camera_translator(registry);
    register_rotation_displacement(registry);
    register_rotating_translators(registry);
    register_external_target_translator(registry);
    register_couple_camera_translator(registry);
    register_camera_calibration(registry);
}

}  // namespace qlo
