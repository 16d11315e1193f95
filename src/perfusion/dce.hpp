// DCE: population arterial input functions, SPGR signal to concentration, variable-flip-angle T1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace loamwerk::perfusion {

// 0 Parker, 1 Georgiou, 2 Fritz-Hansen, 3 Weinmann, 4 McGrath; unknown names are Parker.
int population_model(std::string_view name);
std::vector<double> population_aif(int model, const double* times_min, std::size_t n, double hct);

// 0, or 1 bad sizes, 2 a non-positive T10/TR/relaxivity, 3 a non-positive baseline mean.
int spgr_to_conc(const double* signal, std::size_t n, long baseline, double t1_0_s, double tr_s, double fa_deg,
                 double r1, std::vector<double>& out);

struct VfaMaps {
    std::vector<float> t1, m0;
    std::vector<std::uint8_t> fitted;
};
// volumes: [F, voxels]; mask (voxels, nonzero = fit) optional.
VfaMaps t1_map_vfa(const float* volumes, std::size_t frames, std::size_t voxels, const double* fa_deg, double tr_s,
                   const std::uint8_t* mask);

}  // namespace loamwerk::perfusion
