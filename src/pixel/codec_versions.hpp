// Differences between the versions of the codec libraries we build against, in one place.
#pragma once

#include <charls/version.h>
#include <jxl/version.h>
#include <openjpeg.h>

// OpenJPEG 2.5 decodes High-Throughput code-blocks, and truncated codestreams as far as they go.
#if OPJ_VERSION_MAJOR < 2 || (OPJ_VERSION_MAJOR == 2 && OPJ_VERSION_MINOR < 5)
#error "OpenJPEG 2.5 or later is needed"
#endif

// libjxl 0.9 dropped the pixel-format argument of the ICC profile getters.
#if defined(JPEGXL_NUMERIC_VERSION) && JPEGXL_NUMERIC_VERSION >= JPEGXL_COMPUTE_NUMERIC_VERSION(0, 9, 0)
#define LOAM_JXL_ICC_TAKES_FORMAT 0
#else
#define LOAM_JXL_ICC_TAKES_FORMAT 1
#endif

// CharLS 2.1 introduced the charls::jpegls_decoder class used here.
#if CHARLS_VERSION_MAJOR < 2 || (CHARLS_VERSION_MAJOR == 2 && CHARLS_VERSION_MINOR < 1)
#error "CharLS 2.1 or later is needed"
#endif
