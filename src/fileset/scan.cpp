#include "fileset/scan.hpp"

#include "core/file_io.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace loamwerk::fileset {

namespace fs = std::filesystem;

namespace {

bool has_dicom_extension(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".dcm" || ext == ".ima" || ext == ".dicom";
}

bool has_dicm_magic(const fs::path& p) {
    const FileRead head = read_file(p.string(), 132);
    return head.bytes.size() == 132 && as_text(head.bytes.data() + 128, 4) == "DICM";
}

bool is_regular(const fs::directory_entry& entry) {
    std::error_code ec;
    const fs::file_status s = entry.symlink_status(ec);
    if (ec) return false;
    if (fs::is_regular_file(s)) return true;
    // Unknown types and links are resolved by a status call (links are followed).
    return (fs::is_symlink(s) || s.type() == fs::file_type::unknown) && entry.is_regular_file(ec) && !ec;
}

template <class Iterator>
void collect(Iterator it, std::vector<std::string>& out) {
    std::error_code ec;
    for (const Iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::directory_entry& entry = *it;
        if (!is_regular(entry)) continue;
        const fs::path& p = entry.path();
        if (has_dicom_extension(p) || has_dicm_magic(p)) out.push_back(p.string());
    }
}

}  // namespace

std::vector<std::string> scan_dicom_dir(const std::string& root, bool recursive) {
    std::vector<std::string> out;
    std::error_code ec;
    if (fs::is_regular_file(root, ec)) return {root};
    // An unreadable subdirectory is skipped rather than ending the scan, so one locked folder
    // does not silently hide the rest of the tree.
    constexpr auto options = fs::directory_options::skip_permission_denied;
    if (recursive) {
        fs::recursive_directory_iterator it(root, options, ec);
        if (!ec) collect(std::move(it), out);
    } else {
        fs::directory_iterator it(root, options, ec);
        if (!ec) collect(std::move(it), out);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace loamwerk::fileset
