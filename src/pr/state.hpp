// A Grayscale Softcopy Presentation State: the images it applies to and how they are shown
// (modality and VOI transforms, polarity, displayed area, rotation and flip) with its graphic
// layers and annotations. pr/read.hpp fills it from a data set, pr/write.hpp writes it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/identity.hpp"

namespace loamwerk::pr {

inline constexpr const char* kGrayscaleSoftcopyPresentationState = "1.2.840.10008.5.1.4.1.1.11.1";

struct Point {
    double x = 0, y = 0;  // column and row; PIXEL units from the image's top left corner, DISPLAY ones 0..1
};

struct ImageReference {
    std::string series_uid, sop_class_uid, sop_instance_uid;
    std::vector<std::uint32_t> frames;  // empty: every frame
};

// The images an item applies to: SOP Instance UIDs with optional frames; empty means all.
struct Applies {
    std::vector<ImageReference> images;
    bool covers(const std::string& sop_instance_uid, std::uint32_t frame) const {
        if (images.empty()) return true;
        for (const ImageReference& r : images) {
            if (r.sop_instance_uid != sop_instance_uid) continue;
            if (r.frames.empty()) return true;
            for (std::uint32_t f : r.frames)
                if (f == frame) return true;
        }
        return false;
    }
};

struct Layer {
    std::string name, description;
    std::int32_t order = 0;
    std::optional<std::uint16_t> grey;                // Graphic Layer Recommended Display Grayscale Value
    std::optional<std::array<std::uint16_t, 3>> cielab;  // ... CIELab Value
};

// POINT, POLYLINE, INTERPOLATED, CIRCLE (centre, then a point on the circle) or ELLIPSE (the
// major axis' two ends, then the minor axis').
struct Graphic {
    std::string type = "POLYLINE", units = "PIXEL";
    std::vector<Point> points;
    bool filled = false;
};

struct Text {
    std::string text, units = "PIXEL";
    std::optional<std::array<Point, 2>> box;  // top left and bottom right corners
    std::optional<Point> anchor;
    bool anchor_visible = false;
    std::string justification = "LEFT";
};

struct Annotation {
    std::string layer;
    Applies applies;
    std::vector<Graphic> graphics;
    std::vector<Text> texts;
};

struct Voi {
    Applies applies;
    std::optional<double> center, width;
    std::string function = "LINEAR";  // LINEAR, LINEAR_EXACT or SIGMOID
    std::string explanation;
    // A VOI LUT instead of a window: descriptor (entries, first mapped value, bits) and entries.
    std::uint32_t lut_entries = 0;
    std::int32_t lut_first = 0;
    std::uint16_t lut_bits = 0;
    std::vector<std::uint16_t> lut;
};

struct DisplayedArea {
    Applies applies;
    std::array<std::int32_t, 2> top_left{1, 1}, bottom_right{0, 0};  // column, row; 1-based
    std::string size_mode = "SCALE TO FIT";  // or TRUE SIZE, MAGNIFY
    std::optional<std::array<double, 2>> pixel_spacing;  // row, column (TRUE SIZE)
    double magnification = 1;
};

struct PresentationState {
    // Patient and study, as the referenced images give them (raw text, their character set).
    std::string patient_name, patient_id, patient_birth_date, patient_sex, study_uid, study_date, study_time,
        study_id, accession_number, referring_physician_name;
    std::string sop_instance_uid, series_instance_uid, instance_number = "1";
    std::string content_label = "LOAM_PR", content_description, content_creator;
    std::string creation_date, creation_time;
    std::vector<ImageReference> images;
    std::optional<double> rescale_slope, rescale_intercept;
    std::string rescale_type;
    std::vector<Voi> vois;
    std::string presentation_lut_shape = "IDENTITY";  // or INVERSE; ignored when a LUT is given
    std::uint32_t presentation_lut_entries = 0;
    std::uint16_t presentation_lut_bits = 0;
    std::vector<std::uint16_t> presentation_lut;
    std::vector<DisplayedArea> areas;
    std::uint16_t rotation = 0;  // clockwise degrees: 0, 90, 180 or 270
    bool flip = false;           // horizontal, after the rotation
    std::vector<Layer> layers;
    std::vector<Annotation> annotations;
    Identity identity{"loam", "", "", "", "1", "", ""};
};

}  // namespace loamwerk::pr
