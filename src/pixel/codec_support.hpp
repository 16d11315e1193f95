// Pieces the decoders and encoders of one library share: libjpeg's error manager and the
// process-wide switches that keep DCMTK and OpenJPH quiet.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include <jpeglib.h>

#include "pixel/image.hpp"

namespace loamwerk::render {

// Before a decoder allocates for a frame: its codestream must have the Rows and Columns of the
// header, and the decoded size must be what `input` bytes can produce (the memory policy). False,
// with the reason in f.error, otherwise.
bool frame_plan(FrameRecord& f, std::string_view codec, std::uint64_t width, std::uint64_t height,
                std::uint64_t components, std::uint64_t bytes_per_sample, std::size_t input);

// libjpeg reports errors by calling error_exit, which must not return: ours jumps back to
// the setjmp of the call, and messages are never printed.
struct JpegErrorJump {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
[[noreturn]] inline void jpeg_error_exit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrorJump*>(cinfo->err)->jump, 1);
}
inline jpeg_error_mgr* quiet_jpeg_errors(JpegErrorJump& err) {
    jpeg_error_mgr* mgr = jpeg_std_error(&err.mgr);
    mgr->error_exit = jpeg_error_exit;
    mgr->emit_message = [](j_common_ptr, int) {};
    mgr->output_message = [](j_common_ptr) {};
    return mgr;
}

// Runs `body` around calls into a C library built with its assertions on (Debian's OpenJPEG):
// an assertion that fails inside it makes this return false instead of ending the process.
// Nothing is unwound, so `body` holds no object with a destructor; the library's own objects are
// the caller's to free.
bool contain_abort(void (*body)(void*), void* context);
template <class F>
bool contain_abort(F& body) {
    return contain_abort([](void* c) { (*static_cast<F*>(c))(); }, &body);
}

// DCMTK's logger off, once per process.
void quiet_dcmtk();
// OpenJPH's message streams to /dev/null, once per process (it still throws on errors).
void quiet_openjph();

}  // namespace loamwerk::render
