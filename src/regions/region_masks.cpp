// Inspection regions: named shapes, each a region of interest ("roi": only
// its inside is inspected) or of no interest ("roui": its inside is blanked),
// applied to an image together and loaded from a workbook, one shape per row.
#include "frame/class_builder.h"
#include "frame/globals.h"
#include "frame/object.h"
#include "frame/operators.h"
#include "frame/signature.h"
#include "frame/unpack.h"
#include "regions/register.h"
#include "regions/shared_steps.h"

namespace qlo {

namespace {

constexpr const char* kSource = "src/regions/region_masks.cpp";

[[noreturn]] void raise_value_error(const char* message) { raise_format(PyExc_ValueError, "%s", message); }

py::object region_init(Args& a) {
    py::setattr(a[0], interned("regions"), py::list());
    return py::none();
}

// Appends (type, shape) with the type and kind lower-cased; the type is
// checked before the kind, and nothing is appended when any step fails.
py::object add_region(Args& a) {
    py::handle self = a[0], name = a[1], args = a[3];
    py::object type = a[4].attr(interned("lower"))();
    if (!compare(type, interned("roi"), Py_EQ) && !compare(type, interned("roui"), Py_EQ))
        raise_value_error("Invalid region type. Only \"roi\" or \"roui\" can be recognized.");
    py::object kind = a[2].attr(interned("lower"))();
    py::object shape;
    if (compare(kind, interned("rectangle"), Py_EQ))
        shape = global("Rectangle")(name);
    else if (compare(kind, interned("triangle"), Py_EQ))
        shape = global("Triangle")(name);
    else
        raise_value_error("Unsupported shape.");
    shape.attr(interned("create_from_string"))(args);
    self.attr(interned("regions")).attr(interned("append"))(py::make_tuple(type, shape));
    return py::none();
}

// Masks `image` in place by every entry in order, through one mask reused
// for all of them: only the pixels inside every "roi" shape survive, and
// every "roui" shape is blanked.
py::object region_apply(Args& a) {
    py::handle self = a[0], image = a[1];
    py::object mask = regions::blank_mask(image);
    for (py::handle entry : self.attr(interned("regions"))) {
        auto [type, region] = unpack<2>(entry);
        bool roi = compare(type, interned("roi"), Py_EQ);
        py::int_ color(roi ? 255 : 0), m(roi ? 0 : 255);
        regions::fill(mask, m);
        region.attr(interned("apply"))(image, color, mask);
    }
    return py::none();
}

py::object cell_value(py::handle sheet, char column, py::handle row) {
    py::object key = steal(PyUnicode_FromFormat("%c%S", column, row.ptr()));
    return steal(PyObject_GetItem(sheet.ptr(), key.ptr())).attr(interned("value"));
}

// A Region from a workbook: row 1 holds headings; each later row up to the
// sheet's last used one holds name, shape kind, parameter text and type in
// columns A to D. The first sheet is read unless `sheetname` names another.
// Any bad row stops the load.
py::object load_from_xslx(Args& a) {
    py::object book = global("load_workbook")(a[0]);
    py::object sheetname = a.get(1);
    if (sheetname.is_none()) {
        py::object names = book.attr(interned("sheetnames"));
        sheetname = steal(PySequence_GetItem(names.ptr(), 0));
    }
    py::object sheet = steal(PyObject_GetItem(book.ptr(), sheetname.ptr()));
    py::object region = global("Region")();
    py::object last = sheet.attr(interned("max_row"));
    py::object stop = add(last, py::int_(1));
    for (py::handle row : builtins().range(2, stop)) {
        py::object name = cell_value(sheet, 'A', row);
        py::object kind = cell_value(sheet, 'B', row);
        py::object args = cell_value(sheet, 'C', row);
        py::object type = cell_value(sheet, 'D', row);
        region.attr(interned("add_region"))(name, kind, args, type);
    }
    return region;
}

py::object make_region() {
    ClassBuilder cls("Region", kSource);
    cls.method({"__init__", {{"self"}}, region_init})
        .method({"add_region", {{"self"}, {"name"}, {"shape"}, {"args"}, {"_type"}}, add_region})
        .method({"apply", {{"self"}, {"image"}}, region_apply})
        .static_method({"load_from_xslx", {{"bookname"}, {"sheetname", Hint::Any, py::none()}}, load_from_xslx});
    return cls.build();
}

}  // namespace

void register_region_masks(Registry& registry) { registry.add("Region", make_region); }

}  // namespace qlo
