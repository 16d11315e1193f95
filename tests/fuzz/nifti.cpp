// NIfTI-1 reading, plain and gzip-compressed (the first byte picks which).
#include "fuzz.hpp"
#include "volume/formats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const fuzz::ScratchFile file({data + 1, size - 1}, data[0] & 1 ? ".nii.gz" : ".nii");
    loamwerk::volume::NiftiVolume volume;
    fuzz::expect_clean([&] { loamwerk::volume::dcm_nifti_read(file.path(), volume); });
    return 0;
}
