// DICOM JSON text to data sets and Part-10 files.
#include "fuzz.hpp"
#include "json/from_json.hpp"

using namespace loamwerk::bridge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    fuzz::expect_clean([&] { json_to_ivr(text, size, false, false); });
    fuzz::expect_clean([&] { json_to_ivr(text, size, true, true); });
    fuzz::expect_clean([&] { json_to_part10({text, size}, "1.2.840.10008.1.2.1"); });
    return 0;
}
