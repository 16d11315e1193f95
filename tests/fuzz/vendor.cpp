// Vendors' MR headers: CSA headers on raw bytes, then a whole object's diffusion encoding,
// GE protocol blocks and mosaics.
#include "core/dataset.hpp"
#include "diffusion/csa.hpp"
#include "diffusion/mosaic.hpp"
#include "diffusion/vendor.hpp"
#include "fuzz.hpp"

using namespace loamwerk;
using namespace loamwerk::diffusion;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::expect_clean([&] { CsaHeader::parse({data, size}).number("B_value"); });
    fuzz::expect_clean([&] {
        const Dataset d = Dataset::borrow({data, size});
        const Elements& top = d.elements();
        const CsaHeader csa = csa_image_header(top);
        for (Vendor v : {Vendor::kSiemens, Vendor::kGe, Vendor::kPhilips, Vendor::kCanon, Vendor::kUih, Vendor::kOther})
            object_diffusion(top, v, csa);
        ge_protocol(top);
    });
    fuzz::expect_clean([&] { expand_mosaic({data, size}); });
    return 0;
}
