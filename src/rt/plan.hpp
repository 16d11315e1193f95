// Reading RT Plans (and RT Ion Plans): label, prescription, fraction groups, beams with their
// control points, brachytherapy application setups.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace loamwerk::rt {

struct DoseReference {
    long number = 0;
    std::string structure_type, description, type;
    std::optional<double> target_prescription_dose;  // Gy
};

struct FractionBeam {
    long beam = 0;
    std::optional<double> dose, meterset;  // Gy, MU
};

struct FractionGroup {
    long number = 0;
    std::optional<long> fractions_planned;
    std::vector<FractionBeam> beams;
    std::vector<std::pair<long, std::optional<double>>> brachy_setups;  // setup number, dose (Gy)
};

// A control point with what it leaves unstated taken from the points before it.
struct ControlPoint {
    long index = 0;
    std::optional<double> cumulative_meterset_weight, energy, gantry_angle, collimator_angle, couch_angle;
    std::string gantry_rotation;
    std::optional<std::array<double, 3>> isocenter;
    std::map<std::string, std::vector<double>> limiting_devices;  // ASYMX, Y, MLCX, ... : positions (mm)
};

struct Beam {
    long number = 0;
    std::string name, description, type, radiation_type, machine, dosimeter_unit;
    std::optional<double> source_axis_distance, meterset, final_meterset_weight;  // meterset: MU of the first fraction group
    std::vector<ControlPoint> control_points;
};

struct BrachySetup {
    long number = 0;
    std::string name, type;
    std::size_t channels = 0;
};

struct Plan {
    std::string label, name, description, date, time, geometry, sop_instance_uid;
    std::string prescription_name;  // the SITE dose reference's description, "N/A" without one
    long rxdose_cgy = 0;            // the prescription, cGy, by the rules of dicompyler's GetPlan
    bool brachy = false, ion = false;
    std::vector<DoseReference> dose_references;
    std::vector<FractionGroup> fraction_groups;
    std::vector<Beam> beams;
    std::vector<BrachySetup> brachy_setups;
};

// Throws std::runtime_error when the bytes are not an RT Plan or RT Ion Plan.
Plan read_plan(std::span<const std::uint8_t> part10);

}  // namespace loamwerk::rt
