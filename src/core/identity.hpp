// Who made an authored object and the series it belongs to: the General Equipment and General
// Series attributes (and the Content Creator's Name) a writer fills. Each writer starts from its
// own defaults; a caller replaces any of them.
#pragma once

#include <string>

namespace loamwerk {

struct Identity {
    std::string manufacturer, model_name, software_versions, device_serial_number;
    std::string series_number, series_description;
    std::string content_creator;  // a person name (PN)
};

}  // namespace loamwerk
