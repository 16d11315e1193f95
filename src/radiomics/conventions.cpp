#include "radiomics/conventions.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace loamwerk::radiomics {
namespace {

struct Name {
    const char* ibsi;
    const char* cls;
    const char* name;
};

// In pyradiomics' order within each class.
constexpr Name kNames[] = {
    {"morph_pca_elongation", "shape", "Elongation"},
    {"morph_pca_flatness", "shape", "Flatness"},
    {"morph_pca_least_axis", "shape", "LeastAxisLength"},
    {"morph_pca_maj_axis", "shape", "MajorAxisLength"},
    {"morph_diam_column", "shape", "Maximum2DDiameterColumn"},
    {"morph_diam_row", "shape", "Maximum2DDiameterRow"},
    {"morph_diam_slice", "shape", "Maximum2DDiameterSlice"},
    {"morph_diam", "shape", "Maximum3DDiameter"},
    {"morph_volume", "shape", "MeshVolume"},
    {"morph_pca_min_axis", "shape", "MinorAxisLength"},
    {"morph_sphericity", "shape", "Sphericity"},
    {"morph_area_mesh", "shape", "SurfaceArea"},
    {"morph_av", "shape", "SurfaceVolumeRatio"},
    {"morph_vol_approx", "shape", "VoxelVolume"},
    {"stat_p10", "firstorder", "10Percentile"},
    {"stat_p90", "firstorder", "90Percentile"},
    {"stat_energy", "firstorder", "Energy"},
    {"ih_entropy", "firstorder", "Entropy"},
    {"stat_iqr", "firstorder", "InterquartileRange"},
    {"stat_kurt", "firstorder", "Kurtosis"},
    {"stat_max", "firstorder", "Maximum"},
    {"stat_mad", "firstorder", "MeanAbsoluteDeviation"},
    {"stat_mean", "firstorder", "Mean"},
    {"stat_median", "firstorder", "Median"},
    {"stat_min", "firstorder", "Minimum"},
    {"stat_range", "firstorder", "Range"},
    {"stat_rmad", "firstorder", "RobustMeanAbsoluteDeviation"},
    {"stat_rms", "firstorder", "RootMeanSquared"},
    {"stat_skew", "firstorder", "Skewness"},
    {"stat_energy", "firstorder", "TotalEnergy"},
    {"ih_uniformity", "firstorder", "Uniformity"},
    {"stat_var", "firstorder", "Variance"},
    {"cm_auto_corr_3D_avg", "glcm", "Autocorrelation"},
    {"cm_clust_prom_3D_avg", "glcm", "ClusterProminence"},
    {"cm_clust_shade_3D_avg", "glcm", "ClusterShade"},
    {"cm_clust_tend_3D_avg", "glcm", "ClusterTendency"},
    {"cm_contrast_3D_avg", "glcm", "Contrast"},
    {"cm_corr_3D_avg", "glcm", "Correlation"},
    {"cm_diff_avg_3D_avg", "glcm", "DifferenceAverage"},
    {"cm_diff_entr_3D_avg", "glcm", "DifferenceEntropy"},
    {"cm_diff_var_3D_avg", "glcm", "DifferenceVariance"},
    {"cm_inv_diff_3D_avg", "glcm", "Id"},
    {"cm_inv_diff_mom_3D_avg", "glcm", "Idm"},
    {"cm_inv_diff_mom_norm_3D_avg", "glcm", "Idmn"},
    {"cm_inv_diff_norm_3D_avg", "glcm", "Idn"},
    {"cm_info_corr1_3D_avg", "glcm", "Imc1"},
    {"cm_info_corr2_3D_avg", "glcm", "Imc2"},
    {"cm_inv_var_3D_avg", "glcm", "InverseVariance"},
    {"cm_mcc_3D_avg", "glcm", "MCC"},
    {"cm_joint_avg_3D_avg", "glcm", "JointAverage"},
    {"cm_energy_3D_avg", "glcm", "JointEnergy"},
    {"cm_joint_entr_3D_avg", "glcm", "JointEntropy"},
    {"cm_joint_max_3D_avg", "glcm", "MaximumProbability"},
    {"cm_sum_avg_3D_avg", "glcm", "SumAverage"},
    {"cm_sum_entr_3D_avg", "glcm", "SumEntropy"},
    {"cm_joint_var_3D_avg", "glcm", "SumSquares"},
    {"ngl_glnu_3D", "gldm", "GrayLevelNonUniformity"},
    {"ngl_gl_var_3D", "gldm", "GrayLevelVariance"},
    {"ngl_dc_entr_3D", "gldm", "DependenceEntropy"},
    {"ngl_dcnu_3D", "gldm", "DependenceNonUniformity"},
    {"ngl_dcnu_norm_3D", "gldm", "DependenceNonUniformityNormalized"},
    {"ngl_dc_var_3D", "gldm", "DependenceVariance"},
    {"ngl_hgce_3D", "gldm", "HighGrayLevelEmphasis"},
    {"ngl_hde_3D", "gldm", "LargeDependenceEmphasis"},
    {"ngl_hdhge_3D", "gldm", "LargeDependenceHighGrayLevelEmphasis"},
    {"ngl_hdlge_3D", "gldm", "LargeDependenceLowGrayLevelEmphasis"},
    {"ngl_lgce_3D", "gldm", "LowGrayLevelEmphasis"},
    {"ngl_lde_3D", "gldm", "SmallDependenceEmphasis"},
    {"ngl_ldhge_3D", "gldm", "SmallDependenceHighGrayLevelEmphasis"},
    {"ngl_ldlge_3D", "gldm", "SmallDependenceLowGrayLevelEmphasis"},
    {"rlm_glnu_3D_avg", "glrlm", "GrayLevelNonUniformity"},
    {"rlm_glnu_norm_3D_avg", "glrlm", "GrayLevelNonUniformityNormalized"},
    {"rlm_gl_var_3D_avg", "glrlm", "GrayLevelVariance"},
    {"rlm_hgre_3D_avg", "glrlm", "HighGrayLevelRunEmphasis"},
    {"rlm_lre_3D_avg", "glrlm", "LongRunEmphasis"},
    {"rlm_lrhge_3D_avg", "glrlm", "LongRunHighGrayLevelEmphasis"},
    {"rlm_lrlge_3D_avg", "glrlm", "LongRunLowGrayLevelEmphasis"},
    {"rlm_lgre_3D_avg", "glrlm", "LowGrayLevelRunEmphasis"},
    {"rlm_rl_entr_3D_avg", "glrlm", "RunEntropy"},
    {"rlm_rlnu_3D_avg", "glrlm", "RunLengthNonUniformity"},
    {"rlm_rlnu_norm_3D_avg", "glrlm", "RunLengthNonUniformityNormalized"},
    {"rlm_r_perc_3D_avg", "glrlm", "RunPercentage"},
    {"rlm_rl_var_3D_avg", "glrlm", "RunVariance"},
    {"rlm_sre_3D_avg", "glrlm", "ShortRunEmphasis"},
    {"rlm_srhge_3D_avg", "glrlm", "ShortRunHighGrayLevelEmphasis"},
    {"rlm_srlge_3D_avg", "glrlm", "ShortRunLowGrayLevelEmphasis"},
    {"szm_glnu_3D", "glszm", "GrayLevelNonUniformity"},
    {"szm_glnu_norm_3D", "glszm", "GrayLevelNonUniformityNormalized"},
    {"szm_gl_var_3D", "glszm", "GrayLevelVariance"},
    {"szm_hgze_3D", "glszm", "HighGrayLevelZoneEmphasis"},
    {"szm_lze_3D", "glszm", "LargeAreaEmphasis"},
    {"szm_lzhge_3D", "glszm", "LargeAreaHighGrayLevelEmphasis"},
    {"szm_lzlge_3D", "glszm", "LargeAreaLowGrayLevelEmphasis"},
    {"szm_lgze_3D", "glszm", "LowGrayLevelZoneEmphasis"},
    {"szm_zsnu_3D", "glszm", "SizeZoneNonUniformity"},
    {"szm_zsnu_norm_3D", "glszm", "SizeZoneNonUniformityNormalized"},
    {"szm_sze_3D", "glszm", "SmallAreaEmphasis"},
    {"szm_szhge_3D", "glszm", "SmallAreaHighGrayLevelEmphasis"},
    {"szm_szlge_3D", "glszm", "SmallAreaLowGrayLevelEmphasis"},
    {"szm_zs_entr_3D", "glszm", "ZoneEntropy"},
    {"szm_z_perc_3D", "glszm", "ZonePercentage"},
    {"szm_zs_var_3D", "glszm", "ZoneVariance"},
    {"ngt_busyness_3D", "ngtdm", "Busyness"},
    {"ngt_coarseness_3D", "ngtdm", "Coarseness"},
    {"ngt_complexity_3D", "ngtdm", "Complexity"},
    {"ngt_contrast_3D", "ngtdm", "Contrast"},
    {"ngt_strength_3D", "ngtdm", "Strength"},
};

}  // namespace

Settings pyradiomics_settings() {
    Settings s;
    s.texture.kind = Binning::kWidth, s.texture.width = 25, s.texture.edges_at_zero = true;
    s.texture_2d = false, s.texture_3d = true;
    s.geospatial = false;
    s.pca_population = true, s.pyradiomics_extras = true;
    // Its resampling: B-spline for the image, nearest neighbour for the mask.
    s.image_interpolation = Interpolation::kCubic, s.mask_interpolation = Interpolation::kNearest;
    return s;
}

Families pyradiomics_families() {
    Families f;
    f.local_intensity = false, f.volume_histogram = false;
    return f;
}

Features pyradiomics_features(const Features& ibsi, const Prepared& p, const std::string& image_type,
                              double voxel_shift, const std::vector<std::string>& classes) {
    std::unordered_map<std::string, double> by_tag(ibsi.begin(), ibsi.end());
    const double voxel = p.spacing[0] * p.spacing[1] * p.spacing[2];
    // Energy of shifted intensities: sum (x + c)^2 = sum x^2 + 2 c sum x + n c^2.
    double n = 0, sum = 0;
    for (std::size_t i = 0; i < p.roi.size(); ++i)
        if (p.roi[i]) ++n, sum += p.image[i];
    Features out;
    for (const Name& k : kNames) {
        const auto it = by_tag.find(k.ibsi);
        if (it == by_tag.end()) continue;
        if (!classes.empty() && std::find(classes.begin(), classes.end(), k.cls) == classes.end()) continue;
        // Shape features are the same for every image type; pyradiomics gives them once.
        if (std::string_view(k.cls) == "shape" && image_type != "original") continue;
        double v = it->second;
        const std::string_view name = k.name;
        if (std::string_view(k.cls) == "firstorder") {
            if (name == "Kurtosis") v += 3;
            if (name == "Energy" || name == "TotalEnergy") v += 2 * voxel_shift * sum + n * voxel_shift * voxel_shift;
            if (name == "TotalEnergy") v *= voxel;
        }
        out.emplace_back(image_type + "_" + k.cls + "_" + k.name, v);
    }
    return out;
}

Features pyradiomics_diagnostics(const Prepared& p, const std::string& image_type) {
    double count = 0;
    for (std::uint8_t m : p.roi) count += m;
    const std::string image = "diagnostics_Image-" + image_type + "_", mask = "diagnostics_Mask-" + image_type + "_";
    // The original image's statistics as given; a filtered type's of its response around the ROI.
    double lo = p.input_min, hi = p.input_max, mean = p.input_mean;
    if (image_type != "original") {
        lo = INFINITY, hi = -INFINITY, mean = 0;
        for (double v : p.image) lo = std::min(lo, v), hi = std::max(hi, v), mean += v;
        mean /= double(p.image.size());
    }
    return {{image + "Mean", mean}, {image + "Minimum", lo}, {image + "Maximum", hi}, {mask + "VoxelNum", count}};
}

}  // namespace loamwerk::radiomics
