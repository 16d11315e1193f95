// Finding DICOM files under a directory.
#pragma once

#include <string>
#include <vector>

namespace loamwerk::fileset {

// The DICOM files under `root`, sorted in byte order of their paths. A root that is a regular
// file is returned as is. File-system problems never throw: what could be found is returned.
std::vector<std::string> scan_dicom_dir(const std::string& root, bool recursive);

}  // namespace loamwerk::fileset
