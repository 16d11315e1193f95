#include "pixel/codec_support.hpp"

#include <csignal>
#include <mutex>
#include <string>

#include <setjmp.h>

#include "core/limits.hpp"

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

namespace {

// Where an abort inside a contained call lands, per thread (abort() raises SIGABRT in the thread
// that called it).
thread_local sigjmp_buf* t_landing = nullptr;
struct sigaction g_previous_abort;

void on_abort(int sig, siginfo_t* info, void* context) {
    if (sigjmp_buf* landing = t_landing) {
        t_landing = nullptr;
        siglongjmp(*landing, 1);
    }
    // Not ours: what was there before, else the default action.
    if (g_previous_abort.sa_flags & SA_SIGINFO) {
        g_previous_abort.sa_sigaction(sig, info, context);
    } else if (g_previous_abort.sa_handler != SIG_DFL && g_previous_abort.sa_handler != SIG_IGN) {
        g_previous_abort.sa_handler(sig);
    } else {
        std::signal(SIGABRT, SIG_DFL);
        std::raise(SIGABRT);
    }
}

}  // namespace

bool contain_abort(void (*body)(void*), void* context) {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction a {};
        a.sa_sigaction = on_abort;
        a.sa_flags = SA_SIGINFO;
        sigemptyset(&a.sa_mask);
        sigaction(SIGABRT, &a, &g_previous_abort);
    });
    sigjmp_buf* volatile outer = t_landing;  // contained calls may nest
    sigjmp_buf landing;
    if (sigsetjmp(landing, 1)) {
        t_landing = outer;
        return false;
    }
    t_landing = &landing;
    body(context);
    t_landing = outer;
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
