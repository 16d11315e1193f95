// Structured reports: the content tree of hostile data sets, and everything built on it (checks,
// HTML, regions, the template readers, writing the tree back).
#include "fuzz.hpp"
#include "sr/html.hpp"
#include "sr/read.hpp"
#include "sr/regions.hpp"
#include "sr/validate.hpp"
#include "sr/write.hpp"
#include "sr/tid1500.hpp"
#include "sr/tid2000.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::expect_clean([&] {
        const sr::SrDocument doc = sr::read_document({data, size});
        sr::validate(doc);
        sr::to_html(doc);
        sr::regions(doc);
        sr::diagnostic_report(doc);
        fuzz::expect_clean([&] { sr::measurement_report(doc); });
        fuzz::expect_clean([&] {
            // What was read writes back, or is refused with a reason.
            const auto bytes = sr::write_document(doc, Identity{"loam", "", "", "", "1", "", ""}, false);
            sr::read_document(bytes);
        });
    });
    return 0;
}
