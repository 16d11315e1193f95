// The DICOM JSON Model bridge: shared error codes and the VR classes both directions use.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/vr.hpp"

namespace loamwerk::bridge {

enum class BridgeError : int {
    kInputDidNotParse = 0,
    kUnsupportedVr = 1,
    kLengthOverrun = 2,
    kMalformedKey = 3,
    kMissingSopUids = 4,
    kWrapFailed = 5,
    kUnsupportedSyntax = 6,
    kPixelDataNotEncapsulated = 7,
};

// The fixed message of a code; codes above 7 are "unknown bridge error".
std::string_view message(int code);

// Either a value or an error code.
template <class T>
struct Result {
    T value{};
    int error = -1;  // -1: success
    bool ok() const { return error < 0; }
    static Result fail(BridgeError e) { return Result{T{}, int(e)}; }
};

enum class VrClass { Text, NumericString, US, UL, SS, SL, FL, FD, AT, PN, SQ, Binary, Other };
VrClass classify(VR vr);

}  // namespace loamwerk::bridge
