#include "pr/write.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"

namespace loamwerk::pr {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument(what); }

void check_units(const std::string& units, const std::string& where) {
    if (units != "PIXEL" && units != "DISPLAY") refuse(where + ": units must be PIXEL or DISPLAY, not '" + units + "'");
}

void check_points(const std::vector<Point>& points, const std::string& units, const std::string& where) {
    for (const Point& p : points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) refuse(where + ": coordinates must be finite numbers");
        if (units == "DISPLAY" && (p.x < 0 || p.x > 1 || p.y < 0 || p.y > 1))
            refuse(where + ": DISPLAY coordinates lie between 0 and 1");
    }
}

void check_graphic(const Graphic& g, const std::string& where) {
    check_units(g.units, where);
    const std::size_t n = g.points.size();
    const std::string& t = g.type;
    if (t == "POINT") {
        if (n != 1) refuse(where + ": a POINT has one point");
    } else if (t == "POLYLINE" || t == "INTERPOLATED") {
        if (n < 2) refuse(where + ": a " + t + " needs at least two points");
    } else if (t == "CIRCLE") {
        if (n != 2) refuse(where + ": a CIRCLE has two points, its centre and one on the circle");
    } else if (t == "ELLIPSE") {
        if (n != 4) refuse(where + ": an ELLIPSE has four points, the ends of its major then its minor axis");
    } else {
        refuse(where + ": type must be POINT, POLYLINE, INTERPOLATED, CIRCLE or ELLIPSE, not '" + t + "'");
    }
    check_points(g.points, g.units, where);
    const bool closed = t == "CIRCLE" || t == "ELLIPSE" ||
                        (n > 2 && g.points.front().x == g.points.back().x && g.points.front().y == g.points.back().y);
    if (g.filled && !closed) refuse(where + ": only a closed shape can be filled (repeat the first point last)");
}

void check_text(const Text& t, const std::string& where) {
    if (t.text.empty()) refuse(where + ": a text object needs its text");
    if (t.text.size() > 1024) refuse(where + ": a text object holds at most 1024 characters");
    if (!t.box && !t.anchor) refuse(where + ": a text object needs a bounding box or an anchor point");
    check_units(t.units, where);
    if (t.box) check_points({(*t.box)[0], (*t.box)[1]}, t.units, where);
    if (t.anchor) check_points({*t.anchor}, t.units, where);
    if (t.justification != "LEFT" && t.justification != "RIGHT" && t.justification != "CENTER")
        refuse(where + ": justification must be LEFT, RIGHT or CENTER");
}

bool is_code_string(const std::string& s, std::size_t max) {
    if (s.empty() || s.size() > max) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ' '; });
}

void check_uid(const std::string& uid, const char* what) {
    if (!uid.empty() && !is_valid_uid(uid)) refuse(std::string(what) + " is not a valid UID");
}

// Referenced Image Sequence items for `refs`.
void image_sequence(ItemWriter& w, const std::vector<ImageReference>& refs) {
    w.begin_sequence(tags::kReferencedImageSequence);
    for (const ImageReference& r : refs) {
        w.begin_item();
        w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
        w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
        if (!r.frames.empty()) {
            std::string s;
            for (std::uint32_t f : r.frames) {
                if (!s.empty()) s.push_back('\\');
                s += std::to_string(f);
            }
            w.text(tags::kReferencedFrameNumber, "IS", s);
        }
        w.end_item();
    }
    w.end_sequence();
}

// The images an item names, completed from the state's own references (class and series).
void resolve(Applies& a, const std::vector<ImageReference>& known, const std::string& where) {
    for (ImageReference& r : a.images) {
        const auto it = std::find_if(known.begin(), known.end(),
                                     [&](const ImageReference& k) { return k.sop_instance_uid == r.sop_instance_uid; });
        if (it == known.end()) refuse(where + ": image " + r.sop_instance_uid + " is not one of the referenced images");
        r.sop_class_uid = it->sop_class_uid, r.series_uid = it->series_uid;
    }
}

void points_element(ItemWriter& w, Tag tag, const std::vector<Point>& points) {
    std::vector<float> v;
    for (const Point& p : points) v.push_back(float(p.x)), v.push_back(float(p.y));
    w.fl(tag, v);
}

// The corners as the object states them: the image pixels that show at the top left and the
// bottom right once the image is rotated and flipped.
void orient_corners(DisplayedArea& a, unsigned rotation, bool flip) {
    const std::int32_t cols[2] = {std::min(a.top_left[0], a.bottom_right[0]), std::max(a.top_left[0], a.bottom_right[0])};
    const std::int32_t rows[2] = {std::min(a.top_left[1], a.bottom_right[1]), std::max(a.top_left[1], a.bottom_right[1])};
    for (int u = 0; u < 2; ++u)
        for (int v = 0; v < 2; ++v) {
            int x = u, y = v;  // the corner on the unit square, then where it shows
            if (rotation == 90) x = 1 - v, y = u;
            else if (rotation == 180) x = 1 - u, y = 1 - v;
            else if (rotation == 270) x = v, y = 1 - u;
            if (flip) x = 1 - x;
            if (x == 0 && y == 0) a.top_left = {cols[u], rows[v]};
            if (x == 1 && y == 1) a.bottom_right = {cols[u], rows[v]};
        }
}

std::string content_seed(const PresentationState& p) {
    std::string s = p.study_uid + "|" + p.content_label + "|" + p.content_description + "|" + p.content_creator + "|" +
                    std::to_string(p.rotation) + (p.flip ? "Y" : "N") + p.presentation_lut_shape;
    for (const ImageReference& r : p.images) s += "|" + r.sop_instance_uid;
    for (const Voi& v : p.vois) s += "|" + format_decimal(v.center.value_or(0)) + "/" + format_decimal(v.width.value_or(0));
    for (const DisplayedArea& a : p.areas)
        s += "|" + std::to_string(a.top_left[0]) + "," + std::to_string(a.top_left[1]) + "," +
             std::to_string(a.bottom_right[0]) + "," + std::to_string(a.bottom_right[1]);
    for (const Annotation& a : p.annotations) {
        s += "|" + a.layer;
        for (const Graphic& g : a.graphics) {
            s += ";" + g.type;
            for (const Point& q : g.points) s.append(",").append(format_decimal(q.x)).append(",").append(format_decimal(q.y));
        }
        for (const Text& t : a.texts) s += ";" + t.text;
    }
    return s;
}

}  // namespace

std::vector<std::uint8_t> write_state(PresentationState p, const std::vector<ImageHeader>& images) {
    if (images.empty()) refuse("a presentation state needs at least one referenced image");
    const ImageHeader& first = images[0];
    for (const ImageHeader& h : images) {
        if (h.study_uid != first.study_uid) refuse("the referenced images belong to more than one study");
        if (h.sop_instance_uid.empty() || h.sop_class_uid.empty()) refuse("a referenced image has no SOP Class or Instance UID");
        if (h.photometric != "MONOCHROME1" && h.photometric != "MONOCHROME2")
            refuse("a grayscale presentation state applies to MONOCHROME1 or MONOCHROME2 images, not " +
                   (h.photometric.empty() ? std::string("an image without Photometric Interpretation") : h.photometric));
    }
    if (first.study_uid.empty()) refuse("the referenced images have no Study Instance UID");
    p.patient_name = first.patient_name, p.patient_id = first.patient_id;
    p.patient_birth_date = first.patient_birth_date, p.patient_sex = first.patient_sex;
    p.study_uid = first.study_uid, p.study_date = first.study_date, p.study_time = first.study_time;
    p.study_id = first.study_id, p.accession_number = first.accession_number;
    p.referring_physician_name = first.referring_physician_name;
    p.images.clear();
    std::set<std::string> seen;
    for (const ImageHeader& h : images)
        if (seen.insert(h.sop_instance_uid).second) p.images.push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid, {}});

    if (!is_code_string(p.content_label, 16))
        refuse("content_label must be 1 to 16 upper-case letters, digits, spaces or underscores");
    if (p.content_description.size() > 64) refuse("content_description holds at most 64 characters");
    check_uid(p.sop_instance_uid, "sop_instance_uid");
    check_uid(p.series_instance_uid, "series_instance_uid");
    if (p.rotation % 90 != 0 || p.rotation >= 360) refuse("rotation must be 0, 90, 180 or 270");
    if (p.presentation_lut_shape.empty())
        p.presentation_lut_shape = first.photometric == "MONOCHROME1" ? "INVERSE" : "IDENTITY";
    if (p.presentation_lut_shape != "IDENTITY" && p.presentation_lut_shape != "INVERSE")
        refuse("presentation_lut_shape must be IDENTITY or INVERSE");
    for (std::size_t i = 0; i < p.vois.size(); ++i) {
        Voi& v = p.vois[i];
        const std::string where = "voi " + std::to_string(i);
        resolve(v.applies, p.images, where);
        if (v.lut.empty()) {
            if (!v.center || !v.width || !std::isfinite(*v.center) || !std::isfinite(*v.width))
                refuse(where + ": a window needs a finite center and width");
            if (*v.width < 1 && v.function != "SIGMOID") refuse(where + ": a window's width is at least 1");
            if (*v.width <= 0) refuse(where + ": a window's width must be positive");
            if (v.function != "LINEAR" && v.function != "LINEAR_EXACT" && v.function != "SIGMOID")
                refuse(where + ": function must be LINEAR, LINEAR_EXACT or SIGMOID");
        } else if ((v.lut_bits != 8 && v.lut_bits != 16) || v.lut.size() > 65536) {
            refuse(where + ": a VOI LUT has 8 or 16 bits per entry and at most 65536 entries");
        }
    }
    // Without a displayed area, each image is shown whole: one item per image size.
    if (p.areas.empty()) {
        std::map<std::pair<int, int>, std::vector<ImageReference>> by_size;
        for (std::size_t i = 0; i < images.size(); ++i)
            if (std::none_of(images.begin(), images.begin() + i,
                             [&](const ImageHeader& h) { return h.sop_instance_uid == images[i].sop_instance_uid; }))
                by_size[{images[i].columns, images[i].rows}].push_back(
                    {images[i].series_uid, images[i].sop_class_uid, images[i].sop_instance_uid, {}});
        for (auto& [size, refs] : by_size) {
            DisplayedArea a;
            a.top_left = {1, 1}, a.bottom_right = {size.first, size.second};
            if (by_size.size() > 1) a.applies.images = refs;
            p.areas.push_back(std::move(a));
        }
    }
    for (std::size_t i = 0; i < p.areas.size(); ++i) {
        DisplayedArea& a = p.areas[i];
        const std::string where = "displayed_area " + std::to_string(i);
        resolve(a.applies, p.images, where);
        if (a.top_left[0] == a.bottom_right[0] || a.top_left[1] == a.bottom_right[1])
            refuse(where + ": the corners must differ in both column and row");
        if (a.size_mode != "SCALE TO FIT" && a.size_mode != "TRUE SIZE" && a.size_mode != "MAGNIFY")
            refuse(where + ": size_mode must be SCALE TO FIT, TRUE SIZE or MAGNIFY");
        if (a.size_mode == "TRUE SIZE" && !a.pixel_spacing) {
            if (first.pixel_spacing.size() != 2) refuse(where + ": TRUE SIZE needs the images' pixel spacing");
            a.pixel_spacing = std::array<double, 2>{first.pixel_spacing[0], first.pixel_spacing[1]};
        }
        if (a.size_mode == "MAGNIFY" && !(a.magnification > 0)) refuse(where + ": MAGNIFY needs a positive magnification");
        orient_corners(a, p.rotation, p.flip);
    }
    // Layers: those declared, then any an annotation names, in order of first use.
    std::set<std::string> layer_names;
    for (const Layer& l : p.layers) {
        if (!is_code_string(l.name, 16)) refuse("a graphic layer's name must be 1 to 16 upper-case letters, digits, spaces or underscores");
        if (!layer_names.insert(l.name).second) refuse("graphic layer " + l.name + " is declared twice");
    }
    for (std::size_t i = 0; i < p.annotations.size(); ++i) {
        Annotation& a = p.annotations[i];
        const std::string where = "annotation " + std::to_string(i);
        if (a.layer.empty()) a.layer = "LAYER1";
        if (!is_code_string(a.layer, 16)) refuse(where + ": layer must be 1 to 16 upper-case letters, digits, spaces or underscores");
        if (a.graphics.empty() && a.texts.empty()) refuse(where + ": an annotation needs a graphic or a text object");
        resolve(a.applies, p.images, where);
        for (const Graphic& g : a.graphics) check_graphic(g, where);
        for (const Text& t : a.texts) check_text(t, where);
        if (layer_names.insert(a.layer).second) {
            Layer l;
            l.name = a.layer;
            l.order = std::int32_t(p.layers.size()) + 1;
            p.layers.push_back(std::move(l));
        }
    }
    if (p.creation_date.empty()) p.creation_date = utc_now("%Y%m%d");
    if (p.creation_time.empty()) p.creation_time = utc_now("%H%M%S");
    if (p.instance_number.empty()) p.instance_number = "1";
    const std::string seed = content_seed(p);
    if (p.sop_instance_uid.empty()) p.sop_instance_uid = uid::mint("pr-instance\n" + seed, kUidRoot);
    if (p.series_instance_uid.empty()) p.series_instance_uid = uid::mint("pr-series\n" + seed, kUidRoot);

    // Patient and study as the first image states them (the state's own fields were copied from it).
    SortedDataset d = authored_dataset(kGrayscaleSoftcopyPresentationState, p.sop_instance_uid, first, p.identity, "PR",
                                       p.series_instance_uid);
    d.text(tags::kLaterality, "CS", first.laterality);
    d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kReferencedSeriesSequence);
        std::vector<std::string> series;
        for (const ImageReference& r : p.images)
            if (std::find(series.begin(), series.end(), r.series_uid) == series.end()) series.push_back(r.series_uid);
        for (const std::string& s : series) {
            w.begin_item();
            std::vector<ImageReference> refs;
            for (const ImageReference& r : p.images)
                if (r.series_uid == s) refs.push_back(r);
            image_sequence(w, refs);
            w.text(tags::kSeriesInstanceUID, "UI", s);
            w.end_item();
        }
        w.end_sequence();
    });
    d.text(tags::kInstanceNumber, "IS", p.instance_number);
    // The modality transform the images themselves state, unless the caller gave one.
    if (!p.rescale_slope && first.rescale_slope && first.rescale_intercept) {
        p.rescale_slope = first.rescale_slope, p.rescale_intercept = first.rescale_intercept;
        p.rescale_type = first.rescale_type;
    }
    if (p.rescale_slope) {
        if (!std::isfinite(*p.rescale_slope) || *p.rescale_slope == 0 || !std::isfinite(p.rescale_intercept.value_or(0)))
            refuse("the rescale slope must be a finite non-zero number and the intercept finite");
        d.text(tags::kRescaleIntercept, "DS", format_decimal(p.rescale_intercept.value_or(0)));
        d.text(tags::kRescaleSlope, "DS", format_decimal(*p.rescale_slope));
        d.text(tags::kRescaleType, "LO", p.rescale_type.empty() ? (first.modality == "CT" ? "HU" : "US") : p.rescale_type);
    }
    if (!p.vois.empty())
        d.put(tags::kSoftcopyVOILUTSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kSoftcopyVOILUTSequence);
            for (const Voi& v : p.vois) {
                w.begin_item();
                if (!v.applies.images.empty()) image_sequence(w, v.applies.images);
                if (!v.lut.empty()) {
                    w.begin_sequence(tags::kVOILUTSequence);
                    w.begin_item();
                    const std::uint16_t desc[3] = {std::uint16_t(v.lut.size() == 65536 ? 0 : v.lut.size()),
                                                   std::uint16_t(v.lut_first), v.lut_bits};
                    w.us(tags::kLUTDescriptor, desc);
                    if (!v.explanation.empty()) w.text(tags::kLUTExplanation, "LO", v.explanation);
                    w.ow(tags::kLUTData, v.lut);
                    w.end_item();
                    w.end_sequence();
                } else {
                    w.text(tags::kWindowCenter, "DS", format_decimal(*v.center));
                    w.text(tags::kWindowWidth, "DS", format_decimal(*v.width));
                    if (!v.explanation.empty()) w.text(tags::kWindowCenterWidthExplanation, "LO", v.explanation);
                    w.text(tags::kVOILUTFunction, "CS", v.function);
                }
                w.end_item();
            }
            w.end_sequence();
        });
    d.put(tags::kPresentationLUTShape, [&](ItemWriter& w) { w.text(tags::kPresentationLUTShape, "CS", p.presentation_lut_shape); });
    if (!p.annotations.empty())
        d.put(tags::kGraphicAnnotationSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kGraphicAnnotationSequence);
            for (const Annotation& a : p.annotations) {
                w.begin_item();
                if (!a.applies.images.empty()) image_sequence(w, a.applies.images);
                w.text(tags::kGraphicLayer, "CS", a.layer);
                if (!a.texts.empty()) {
                    w.begin_sequence(tags::kTextObjectSequence);
                    for (const Text& t : a.texts) {
                        w.begin_item();
                        if (t.box) w.text(tags::kBoundingBoxAnnotationUnits, "CS", t.units);
                        if (t.anchor) w.text(tags::kAnchorPointAnnotationUnits, "CS", t.units);
                        w.text(tags::kUnformattedTextValue, "ST", t.text);
                        if (t.box) {
                            points_element(w, tags::kBoundingBoxTopLeftHandCorner, {(*t.box)[0]});
                            points_element(w, tags::kBoundingBoxBottomRightHandCorner, {(*t.box)[1]});
                            w.text(tags::kBoundingBoxTextHorizontalJustification, "CS", t.justification);
                        }
                        if (t.anchor) {
                            points_element(w, tags::kAnchorPoint, {*t.anchor});
                            w.text(tags::kAnchorPointVisibility, "CS", t.anchor_visible ? "Y" : "N");
                        }
                        w.end_item();
                    }
                    w.end_sequence();
                }
                if (!a.graphics.empty()) {
                    w.begin_sequence(tags::kGraphicObjectSequence);
                    for (const Graphic& g : a.graphics) {
                        w.begin_item();
                        w.text(tags::kGraphicAnnotationUnits, "CS", g.units);
                        w.us(tags::kGraphicDimensions, 2);
                        w.us(tags::kNumberOfGraphicPoints, std::uint16_t(g.points.size()));
                        points_element(w, tags::kGraphicData, g.points);
                        w.text(tags::kGraphicType, "CS", g.type);
                        if (g.type != "POINT") w.text(tags::kGraphicFilled, "CS", g.filled ? "Y" : "N");
                        w.end_item();
                    }
                    w.end_sequence();
                }
                w.end_item();
            }
            w.end_sequence();
        });
    d.put(tags::kDisplayedAreaSelectionSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kDisplayedAreaSelectionSequence);
        for (const DisplayedArea& a : p.areas) {
            w.begin_item();
            if (!a.applies.images.empty()) image_sequence(w, a.applies.images);
            w.sl(tags::kDisplayedAreaTopLeftHandCorner, a.top_left);
            w.sl(tags::kDisplayedAreaBottomRightHandCorner, a.bottom_right);
            w.text(tags::kPresentationSizeMode, "CS", a.size_mode);
            if (a.pixel_spacing) w.text(tags::kPresentationPixelSpacing, "DS", format_decimals({(*a.pixel_spacing)[0], (*a.pixel_spacing)[1]}));
            else w.text(tags::kPresentationPixelAspectRatio, "IS", "1\\1");
            if (a.size_mode == "MAGNIFY") w.fl(tags::kPresentationPixelMagnificationRatio, float(a.magnification));
            w.end_item();
        }
        w.end_sequence();
    });
    if (!p.layers.empty())
        d.put(tags::kGraphicLayerSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kGraphicLayerSequence);
            for (const Layer& l : p.layers) {
                w.begin_item();
                w.text(tags::kGraphicLayer, "CS", l.name);
                w.text(tags::kGraphicLayerOrder, "IS", std::to_string(l.order));
                if (l.grey) w.us(tags::kGraphicLayerRecommendedDisplayGrayscaleValue, *l.grey);
                if (!l.description.empty()) w.text(tags::kGraphicLayerDescription, "LO", l.description);
                if (l.cielab) w.us(tags::kGraphicLayerRecommendedDisplayCIELabValue, std::span<const std::uint16_t>(*l.cielab));
                w.end_item();
            }
            w.end_sequence();
        });
    d.text(tags::kContentLabel, "CS", p.content_label);
    d.text(tags::kContentDescription, "LO", p.content_description);
    d.text(tags::kPresentationCreationDate, "DA", p.creation_date);
    d.text(tags::kPresentationCreationTime, "TM", p.creation_time);
    d.text(tags::kContentCreatorName, "PN", p.content_creator);
    if (p.rotation || p.flip) {
        d.put(tags::kImageHorizontalFlip, [&](ItemWriter& w) { w.text(tags::kImageHorizontalFlip, "CS", p.flip ? "Y" : "N"); });
        d.put(tags::kImageRotation, [&](ItemWriter& w) { w.us(tags::kImageRotation, p.rotation); });
    }
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kGrayscaleSoftcopyPresentationState, p.sop_instance_uid, d.body(), "1.2.840.10008.1.2.1", out) != 0)
        throw std::runtime_error("the presentation state is too large to write");
    return out;
}

}  // namespace loamwerk::pr
