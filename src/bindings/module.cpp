// The extension module entry: the docstring, error translation and the registration body,
// family by family.
#include <cerrno>

#include "bindings/common.hpp"
#include "core/file_io.hpp"

namespace {

namespace nb = nanobind;

// The exception classes of files that cannot be opened: each is the RuntimeError every reader
// raises and the OSError subclass Python code catches for the reason. The module keeps them for
// the life of the process (references owned here are never released, as for any type object).
struct OpenErrors {
    PyObject *not_found, *permission, *is_directory, *other;
};

PyObject* open_error_class(nb::module_& m, const char* name, PyObject* os_error, const char* doc) {
    const std::string qualified = std::string("loam._core.") + name;
    nb::object bases = nb::make_tuple(nb::handle(os_error), nb::handle(PyExc_RuntimeError));
    // The message stays the reader's ("cannot open <path>") with errno and filename set, which
    // OSError's own __str__ would replace.
    nb::dict members;
    members["__str__"] = nb::handle(PyExc_BaseException).attr("__str__");
    nb::object cls = nb::steal(PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), members.ptr()));
    if (!cls.is_valid()) throw nb::python_error();
    m.attr(name) = cls;
    return cls.release().ptr();
}

void raise_open_error(const OpenErrors& classes, const loamwerk::OpenError& e) {
    const int code = e.error_number();
    const nb::handle cls = code == ENOENT || code == ENOTDIR ? classes.not_found
                            : code == EACCES || code == EPERM ? classes.permission
                            : code == EISDIR                  ? classes.is_directory
                                                              : classes.other;
    nb::object error = cls(nb::str(e.what()));
    if (code) {
        error.attr("errno") = code;
        error.attr("strerror") = nb::str(std::strerror(code));
    }
    error.attr("filename") = nb::str(e.path().c_str(), e.path().size());
    PyErr_SetObject(cls.ptr(), error.ptr());
}

}  // namespace

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
    static OpenErrors open_errors{
        open_error_class(m, "FileNotFound", PyExc_FileNotFoundError,
                         "A file to read does not exist (a FileNotFoundError and a RuntimeError)."),
        open_error_class(m, "FileAccessDenied", PyExc_PermissionError,
                         "A file to read may not be read (a PermissionError and a RuntimeError)."),
        open_error_class(m, "FileIsDirectory", PyExc_IsADirectoryError,
                         "A path to read names a folder (an IsADirectoryError and a RuntimeError)."),
        open_error_class(m, "FileUnreadable", PyExc_OSError,
                         "A file to read cannot be opened (an OSError and a RuntimeError)."),
    };
    nanobind::register_exception_translator(
        [](const std::exception_ptr& p, void* classes) {
            try {
                std::rethrow_exception(p);
            } catch (const loamwerk::OpenError& e) {
                raise_open_error(*static_cast<const OpenErrors*>(classes), e);
            }
        },
        &open_errors);
    loam::bind::register_wsi(m);
    loam::bind::register_dictionary(m);
    loam::bind::register_filemeta(m);
    loam::bind::register_text(m);
    loam::bind::register_part10(m);
    loam::bind::register_json(m);
    loam::bind::register_dataset(m);
    loam::bind::register_pixel(m);
    loam::bind::register_deident(m);
    loam::bind::register_fileset(m);
    loam::bind::register_iod(m);
    loam::bind::register_volume(m);
    loam::bind::register_transform(m);
    loam::bind::register_diffusion(m);
    loam::bind::register_perfusion(m);
    loam::bind::register_dti(m);
    loam::bind::register_encap(m);
    loam::bind::register_tract(m);
    loam::bind::register_ann(m);
    loam::bind::register_surface(m);
    loam::bind::register_reg(m);
    loam::bind::register_rt(m);
    loam::bind::register_sr(m);
    loam::bind::register_response(m);
    loam::bind::register_seg(m);
    loam::bind::register_pr(m);
    loam::bind::register_radiomics(m);
    loam::bind::register_paramap(m);
    loam::bind::register_legacy(m);
    loam::bind::register_limits(m);
}
