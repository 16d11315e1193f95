// DICOMDIR building from up to four files.
#include "fileset/dicomdir.hpp"
#include "fuzz.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split(data, size, 4);
    static const char* kIds[] = {"A/B/IM1", "A/B/IM2", "C/IM3", "IM4"};
    std::vector<loamwerk::dicomdir::Input> inputs;
    for (std::size_t i = 0; i < parts.size(); ++i) inputs.push_back({parts[i], kIds[i]});
    fuzz::expect_clean([&] { loamwerk::dicomdir::build(inputs, "FUZZ"); });
    return 0;
}
