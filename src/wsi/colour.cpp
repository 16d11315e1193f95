#include "wsi/colour.hpp"

#include <lcms2.h>

namespace loamwerk::wsi {

ColourTransform::~ColourTransform() {
    if (handle_) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(handle_));
}

namespace {

void* create_transform(std::span<const std::uint8_t> icc, bool rgba) {
    cmsHPROFILE in = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    if (!in) return nullptr;
    void* t = nullptr;
    if (cmsGetColorSpace(in) == cmsSigRgbData) {
        cmsHPROFILE out = cmsCreate_sRGBProfile();
        if (out) {
            const cmsUInt32Number format = rgba ? TYPE_RGBA_8 : TYPE_RGB_8;
            // No one-pixel cache: the transform is then safe to run from several threads at once.
            const cmsUInt32Number flags = cmsFLAGS_NOCACHE | (rgba ? cmsFLAGS_COPY_ALPHA : 0);
            t = cmsCreateTransform(in, format, out, format, cmsGetHeaderRenderingIntent(in), flags);
            cmsCloseProfile(out);
        }
    }
    cmsCloseProfile(in);
    return t;
}

}  // namespace

std::shared_ptr<ColourTransform> transform_for(std::span<const std::uint8_t> icc, bool rgba, std::mutex& mutex,
                                               std::shared_ptr<ColourTransform> (&slot)[2]) {
    if (icc.empty()) return nullptr;
    std::lock_guard lock(mutex);
    auto& t = slot[rgba ? 1 : 0];
    if (!t) t = std::make_shared<ColourTransform>(create_transform(icc, rgba));
    return t->handle() ? t : nullptr;
}

void to_srgb(ByteVector& pixels, bool rgba, std::span<const std::uint8_t> icc, std::mutex& mutex,
             std::shared_ptr<ColourTransform> (&slot)[2]) {
    const std::size_t channels = rgba ? 4 : 3;
    if (pixels.empty() || pixels.size() % channels) return;
    const auto t = transform_for(icc, rgba, mutex, slot);
    if (!t) return;
    // In place (the formats match), in runs that fit the library's 32-bit pixel count.
    const std::size_t total = pixels.size() / channels, step = std::size_t(1) << 30;
    for (std::size_t done = 0; done < total; done += step) {
        std::uint8_t* p = pixels.data() + done * channels;
        cmsDoTransform(static_cast<cmsHTRANSFORM>(t->handle()), p, p, cmsUInt32Number(std::min(step, total - done)));
    }
}

}  // namespace loamwerk::wsi
