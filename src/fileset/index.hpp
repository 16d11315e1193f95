// Indexing files: one row per file of typed header columns, the header as DICOM JSON, read from
// each file's header alone. The results are columnar, ready to become Arrow arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/vr.hpp"

namespace loamwerk::fileset {

// How a column's values are typed: text; integers (IS and the binary integer VRs, AT); reals
// (DS, FL, FD); dates as days since 1970-01-01 (DA); times as microseconds since midnight (TM).
enum class ColumnKind { kText, kInteger, kReal, kDate, kTime };

struct ColumnSpec {
    Tag tag = 0;
    ColumnKind kind = ColumnKind::kText;
    bool multi = false;  // the dictionary allows more than one value: a list per row
};

// The column of a keyword, from the data dictionary; nothing for an unknown keyword or one whose
// values cannot be a column (sequences, bulk binary data).
std::optional<ColumnSpec> column_spec(std::string_view keyword);

// One column over the rows of a batch. A row's values are values[offsets[r], offsets[r + 1]);
// `present` says whether the row has the attribute with at least one value, and `item_valid`
// whether each value could be read as its kind (an unreadable DS or date is null, not lost: the
// JSON keeps the text).
struct ColumnData {
    std::vector<std::uint8_t> present;
    std::vector<std::int64_t> offsets{0};
    std::vector<std::uint8_t> item_valid;
    std::vector<std::string> texts;       // kText
    std::vector<std::int64_t> integers;   // kInteger, kDate (days), kTime (microseconds)
    std::vector<double> reals;            // kReal
};

struct IndexBatch {
    std::vector<std::int64_t> sizes;          // -1 when the file could not be opened
    std::vector<std::string> errors;          // "" for rows read
    std::vector<std::string> json;            // the header (meta and data set) as DICOM JSON
    std::vector<ColumnData> columns;          // in the order of the specs
};

// The header as JSON text from a file's bytes up to its pixel data ("" when it cannot be
// written); supplied by the caller, so that this engine does not depend on the JSON one.
using HeaderJson = std::string (*)(std::span<const std::uint8_t> header);

// Reads each file's header (never its pixel data) and fills one row per path; `json` null
// leaves the JSON empty. A file that cannot be opened or read as DICOM gets its error and no
// values; nothing throws.
IndexBatch index_files(std::span<const std::string> paths, std::span<const ColumnSpec> columns, HeaderJson json);

// One row from a file's bytes (all of them, or the header read so far), appended to `batch`
// whose columns match `columns`.
void index_buffer(std::span<const std::uint8_t> bytes, std::int64_t size, std::span<const ColumnSpec> columns,
                  HeaderJson json, IndexBatch& batch);

}  // namespace loamwerk::fileset
