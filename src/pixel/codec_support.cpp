#include "pixel/codec_support.hpp"

#include <string>

#include "core/limits.hpp"

#include <mutex>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/oflog/oflog.h"
#include <openjph/ojph_arch.h>  // defines OJPH_EXPORT, which the other headers assume
#include <openjph/ojph_message.h>

namespace loamwerk::render {

bool frame_plan(FrameRecord& f, std::string_view codec, std::uint64_t width, std::uint64_t height,
                std::uint64_t components, std::uint64_t bytes_per_sample, std::size_t input) {
    if (f.columns && f.rows && (width != f.columns || height != f.rows)) {
        f.error = "the " + std::string(codec) + " codestream is " + std::to_string(width) + " x " +
                  std::to_string(height) + " where Columns and Rows say " + std::to_string(f.columns) + " x " +
                  std::to_string(f.rows);
        return false;
    }
    const std::uint64_t bytes = width * height * components * bytes_per_sample;
    if (bytes > limits::allowed(input)) {
        f.error = "a " + std::string(codec) + " frame of " + std::to_string(width) + " x " + std::to_string(height) +
                  " x " + std::to_string(components) + " asks for " + limits::size_text(bytes) + " from " +
                  limits::size_text(input) + " of data, more than the memory limit allows";
        return false;
    }
    return true;
}

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
