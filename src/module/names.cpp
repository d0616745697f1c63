// The table of module-level names, in definition order. The order is part of
// the interface: a default value or base class naming an earlier definition
// (ShiftComparator's judge, the image chain classes' base, Shape's subclasses)
// finds it already defined. Every name in the table has a maker and every
// maker a name in the table: a mismatch fails the import.
#include "module/names.h"

#include "chain/register.h"
#include "frame/registry.h"
#include "compare/register.h"
#include "contour/register.h"
#include "coords/register.h"
#include "measure/register.h"
#include "regions/register.h"

namespace qlo {

namespace {

const char* const kModuleNames[] = {
    "binary_image_swap",
    "minimal_rect_for_extract_info",
    "_compare_extract_region_contours",
    "get_sorted_extract_region_contours",
    "get_rough_position_diff",
    "find_corresponding_region",
    "find_top_left_point",
    "get_rid_of_small_contours",
    "FittingCircle",
    "CirclePeeler",
    "take_middle",
    "take_min_or_max",
    "take_min",
    "take_max",
    "template_match_point",
    "get_max_area_contour",
    "extract_poly",
    "rotate_to_make_edge_horizontal",
    "_collect_contour_points_equal_x",
    "_get_points_equal_x",
    "_calculate_max_vertical_distance",
    "calculate_contour_vertical_distances",
    "compare_image_difference",
    "translate",
    "translate_and_rotate",
    "NGRegion",
    "CompareResult",
    "contour_is_too_long",
    "contour_is_too_big",
    "ShiftComparator",
    "bounding_rect_top",
    "find_barcode_contours",
    "fill_threshold",
    "find_rotate_degree",
    "rotate_correcting",
    "cmp_rect_after_rotate_correcting",
    "shift_compare_barcode",
    "contour_to_point_list",
    "extract_center_contours",
    "ImageChainBase",
    "ImageFromFile",
    "ImageCopy",
    "ImageFromNDArray",
    "add_weighted",
    "ImageROI",
    "ImageChannelSplitter",
    "ImageColorConverter",
    "ImageTranslation",
    "ImageScaling",
    "ImageMakingBorder",
    "ImageRotation",
    "ImageAffineTransformation",
    "ImagePerspectiveTransformation",
    "ImageSimpleThresholding",
    "ImageOtsuThresholding",
    "ImageAdaptiveThresholding",
    "Shape",
    "Rectangle",
    "Triangle",
    "Region",
    "simple_compare_gray_image",
    "binary_compare_image",
    "hue_mean",
    "find_corresponding_point_by_template_match",
    "SingleCameraInternalTargetTranslator",
    "calculate_translation_accompanying_rotation",
    "TranslatorAccompanyingRotation",
    "FixRadiusRotatingTranslator",
    "SingleCameraInternalTargetRotatingTranslator",
    "SingleCameraExternalTargetTranslator",
    "CoupleCameraTranslator",
    "CameraCalibrationData",
    "centroid_of_contour",
    "contour_point_distances",
    "contour_is_counterclockwise",
    "contour_is_clockwise",
    "reverse_contour",
    "left_shift_array",
    "calculate_contour_direction",
    "Contour",
    "the_most_matching_angle",
};

void register_capabilities(Registry& registry) {
    register_chain_core(registry);
    register_transforms(registry);
    register_warp_nodes(registry);
    register_thresholds(registry);
    register_compare_result(registry);
    register_circle_fit(registry);
    register_band_filters(registry);
    register_warps(registry);
    register_vertical_profiles(registry);
    register_shift_comparator(registry);
    register_contour_functions(registry);
    register_contour_class(registry);
    register_matching_angle(registry);
    register_template_match(registry);
    register_simple_compare(registry);
    register_barcode_contours(registry);
    register_barcode_compare(registry);
    register_coords(registry);
    register_binary_swap(registry);
    register_extraction(registry);
    register_corresponding_region(registry);
    register_shapes(registry);
    register_region_masks(registry);
}

}  // namespace

void define_module_names(py::handle module) {
    Registry registry;
    register_capabilities(registry);
    std::size_t defined = 0;
    for (const char* name : kModuleNames) {
        Maker maker = registry.find(name);
        if (!maker) raise_format(PyExc_SystemError, "qlo_cv: no capability registers the name '%s'", name);
        module.attr(name) = maker();
        ++defined;
    }
    if (defined != registry.size())
        raise_format(PyExc_SystemError, "qlo_cv: a registered name is missing from the table of names");
}

}  // namespace qlo
