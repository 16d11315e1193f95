// Data sets to DICOM JSON, and back to Part-10.
#include "fuzz.hpp"
#include "json/from_json.hpp"
#include "json/to_json.hpp"

using namespace loamwerk::bridge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::expect_clean([&] {
        const auto json = file_to_json({data, size}, "", true);
        if (json.ok()) json_to_part10(json.value, "1.2.840.10008.1.2.1");
    });
    fuzz::expect_clean([&] {
        JsonWriteOptions o;
        dataset_to_json(data, size, o);
        o.explicit_vr = 0;
        dataset_to_json(data, size, o);
    });
    file_meta_to_json({data, size});
    return 0;
}
