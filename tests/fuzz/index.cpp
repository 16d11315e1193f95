// The archive index's row reader: every default column kind (text, integers, reals, dates, times,
// single and multi-valued) over hostile headers, with the header's JSON.
#include <vector>

#include "fileset/index.hpp"
#include "json/to_json.hpp"
#include "fuzz.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<fileset::ColumnSpec> columns = [] {
        std::vector<fileset::ColumnSpec> out;
        for (const char* k : {"TransferSyntaxUID", "SpecificCharacterSet", "PatientName", "StudyDate", "StudyTime",
                              "SeriesNumber", "Rows", "PixelSpacing", "ImagePositionPatient", "ImageType",
                              "SliceThickness", "WindowCenter", "FrameIncrementPointer", "ExposureTime"})
            if (auto spec = fileset::column_spec(k)) out.push_back(*spec);
        return out;
    }();
    fileset::IndexBatch batch;
    const fileset::HeaderJson json = [](std::span<const std::uint8_t> header) {
        auto text = bridge::file_to_json(header, "", false);
        return text.ok() ? text.value : std::string();
    };
    fileset::index_buffer({data, size}, std::int64_t(size), columns, json, batch);
    // Every column has exactly one row, and its offsets stay within its values.
    for (const fileset::ColumnData& c : batch.columns)
        if (c.present.size() != 1 || c.offsets.size() != 2 || std::size_t(c.offsets[1]) != c.item_valid.size())
            __builtin_trap();
    return 0;
}
