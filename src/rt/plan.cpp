#include "rt/plan.hpp"

#include <cmath>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"

namespace loamwerk::rt {

namespace {

constexpr std::string_view kRtPlan = "1.2.840.10008.5.1.4.1.1.481.5", kRtIonPlan = "1.2.840.10008.5.1.4.1.1.481.8";

std::string str(const Elements& es, Tag tag) { return std::string(text_of(es, tag)); }

std::optional<long> whole(const Elements& es, Tag tag) { return integer_of(es, tag); }

// A value rounded half to even, as Python's round() (and so dicompyler's GetPlan) does.
long round_even(double v) {
    const double r = std::nearbyint(v);  // the default rounding mode is to nearest, ties to even
    return std::isfinite(r) && std::fabs(r) < 9e18 ? long(r) : 0;
}

}  // namespace

Plan read_plan(std::span<const std::uint8_t> part10) {
    const Dataset ds = Dataset::borrow(part10);
    const std::string_view cls = ds.readable() ? ds.text(tags::kSOPClassUID) : std::string_view();
    if (cls != kRtPlan && cls != kRtIonPlan) throw std::runtime_error("not an RT Plan or RT Ion Plan");
    const Elements& top = ds.elements();
    Plan p;
    p.ion = cls == kRtIonPlan;
    p.label = str(top, tags::kRTPlanLabel), p.name = str(top, tags::kRTPlanName);
    p.description = str(top, tags::kRTPlanDescription), p.date = str(top, tags::kRTPlanDate);
    p.time = str(top, tags::kRTPlanTime), p.geometry = str(top, tags::kRTPlanGeometry);
    p.sop_instance_uid = str(top, tags::kSOPInstanceUID);
    p.brachy = ds.find(tags::kBrachyTreatmentTechnique) || ds.find(tags::kBrachyTreatmentType);

    double rx = 0;
    for (const Elements& item : items_of(top, tags::kDoseReferenceSequence)) {
        DoseReference d;
        d.number = whole(item, tags::kDoseReferenceNumber).value_or(0);
        d.structure_type = str(item, tags::kDoseReferenceStructureType);
        d.description = str(item, tags::kDoseReferenceDescription);
        d.type = str(item, tags::kDoseReferenceType);
        d.target_prescription_dose = float_of(item, tags::kTargetPrescriptionDose);
        // The prescription: the largest SITE dose, unless a VOLUME reference states one (the last wins).
        if (d.structure_type == "SITE") {
            p.prescription_name = d.description.empty() ? "N/A" : d.description;
            if (d.target_prescription_dose && *d.target_prescription_dose * 100 > rx) rx = *d.target_prescription_dose * 100;
        } else if (d.structure_type == "VOLUME" && d.target_prescription_dose) {
            rx = *d.target_prescription_dose * 100;
        }
        p.dose_references.push_back(std::move(d));
    }
    for (const Elements& item : items_of(top, tags::kFractionGroupSequence)) {
        FractionGroup g;
        g.number = whole(item, tags::kFractionGroupNumber).value_or(0);
        g.fractions_planned = whole(item, tags::kNumberOfFractionsPlanned);
        for (const Elements& b : items_of(item, tags::kReferencedBeamSequence))
            g.beams.push_back({whole(b, tags::kReferencedBeamNumber).value_or(0), float_of(b, tags::kBeamDose),
                               float_of(b, tags::kBeamMeterset)});
        for (const Elements& s : items_of(item, tags::kReferencedBrachyApplicationSetupSequence))
            g.brachy_setups.push_back({whole(s, tags::kReferencedBrachyApplicationSetupNumber).value_or(0),
                                       float_of(s, tags::kBrachyApplicationSetupDose)});
        p.fraction_groups.push_back(std::move(g));
    }
    // Without one stated, the first fraction group's beam doses over its fractions.
    if (rx == 0 && !p.fraction_groups.empty() && p.fraction_groups[0].fractions_planned &&
        ds.find(tags::kFractionGroupSequence)) {
        const FractionGroup& g = p.fraction_groups[0];
        for (const FractionBeam& b : g.beams)
            if (b.dose) rx += *b.dose * double(*g.fractions_planned) * 100;
    }
    p.rxdose_cgy = round_even(rx);

    const Items beams = items_of(top, p.ion ? tags::kIonBeamSequence : tags::kBeamSequence);
    for (const Elements& item : beams) {
        Beam b;
        b.number = whole(item, tags::kBeamNumber).value_or(0);
        b.name = str(item, tags::kBeamName), b.description = str(item, tags::kBeamDescription);
        b.type = str(item, tags::kBeamType), b.radiation_type = str(item, tags::kRadiationType);
        b.machine = str(item, tags::kTreatmentMachineName), b.dosimeter_unit = str(item, tags::kPrimaryDosimeterUnit);
        b.source_axis_distance = float_of(item, tags::kSourceAxisDistance);
        b.final_meterset_weight = float_of(item, tags::kFinalCumulativeMetersetWeight);
        if (!p.fraction_groups.empty())
            for (const FractionBeam& f : p.fraction_groups[0].beams)
                if (f.beam == b.number) b.meterset = f.meterset;
        ControlPoint state;  // what the points so far have said
        for (const Elements& cp : items_of(item, p.ion ? tags::kIonControlPointSequence : tags::kControlPointSequence)) {
            state.index = whole(cp, tags::kControlPointIndex).value_or(long(b.control_points.size()));
            state.cumulative_meterset_weight = float_of(cp, tags::kCumulativeMetersetWeight);
            if (auto v = float_of(cp, tags::kNominalBeamEnergy)) state.energy = v;
            if (auto v = float_of(cp, tags::kGantryAngle)) state.gantry_angle = v;
            if (const std::string r = str(cp, tags::kGantryRotationDirection); !r.empty()) state.gantry_rotation = r;
            if (auto v = float_of(cp, tags::kBeamLimitingDeviceAngle)) state.collimator_angle = v;
            if (auto v = float_of(cp, tags::kPatientSupportAngle)) state.couch_angle = v;
            if (const ElementRef* e = find_element(cp, tags::kIsocenterPosition)) {
                const std::vector<double> v = numbers(*e);
                if (v.size() == 3) state.isocenter = std::array<double, 3>{v[0], v[1], v[2]};
            }
            for (const Elements& d : items_of(cp, tags::kBeamLimitingDevicePositionSequence))
                if (const ElementRef* e = find_element(d, tags::kLeafJawPositions))
                    state.limiting_devices[str(d, tags::kRTBeamLimitingDeviceType)] = numbers(*e);
            b.control_points.push_back(state);
        }
        p.beams.push_back(std::move(b));
    }
    for (const Elements& item : items_of(top, tags::kApplicationSetupSequence)) {
        BrachySetup s;
        s.number = whole(item, tags::kApplicationSetupNumber).value_or(0);
        s.name = str(item, tags::kApplicationSetupName), s.type = str(item, tags::kApplicationSetupType);
        s.channels = items_of(item, tags::kChannelSequence).size();
        p.brachy_setups.push_back(std::move(s));
    }
    return p;
}

}  // namespace loamwerk::rt
