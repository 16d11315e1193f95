// The extension module entry: the docstring and the registration body, family by family.
#include "bindings/common.hpp"

NB_MODULE(_core, m) {
    m.doc() = "loam native core \u2014 zero-copy DICOM pixel decode via loamwerk::render (HU on rescale=True)";
    // A Python value of the wrong type met deep in a conversion: a TypeError, never "std::bad_cast".
    nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const nanobind::cast_error&) {
            PyErr_SetString(PyExc_TypeError, "an argument, or a value inside one, has the wrong type");
        }
    });
    loam::bind::register_wsi(m);
    loam::bind::register_dictionary(m);
    loam::bind::register_filemeta(m);
    loam::bind::register_text(m);
    loam::bind::register_part10(m);
    loam::bind::register_json(m);
    loam::bind::register_pixel(m);
    loam::bind::register_deident(m);
    loam::bind::register_fileset(m);
    loam::bind::register_iod(m);
    loam::bind::register_volume(m);
    loam::bind::register_transform(m);
    loam::bind::register_diffusion(m);
    loam::bind::register_perfusion(m);
    loam::bind::register_rt(m);
    loam::bind::register_sr(m);
    loam::bind::register_response(m);
    loam::bind::register_seg(m);
    loam::bind::register_limits(m);
}
