#include "pixel/codec_support.hpp"

#include <mutex>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/oflog/oflog.h"
#include <openjph/ojph_arch.h>  // defines OJPH_EXPORT, which the other headers assume
#include <openjph/ojph_message.h>

namespace loamwerk::render {

void quiet_dcmtk() {
    static std::once_flag once;
    std::call_once(once, [] { OFLog::configure(OFLogger::OFF_LOG_LEVEL); });
}

void quiet_openjph() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (std::FILE* sink = std::fopen("/dev/null", "w")) {
            ojph::set_info_stream(sink);
            ojph::set_warning_stream(sink);
            ojph::set_error_stream(sink);
        }
    });
}

}  // namespace loamwerk::render
