// Standard attributes that several engines read, by name.
#pragma once

#include "core/vr.hpp"

namespace loamwerk::tags {

// Identification and series
constexpr Tag kImageType = 0x00080008, kSopInstanceUid = 0x00080018, kModality = 0x00080060;
constexpr Tag kManufacturer = 0x00080070, kSeriesDescription = 0x0008103E, kSeriesInstanceUid = 0x0020000E;
constexpr Tag kSeriesNumber = 0x00200011, kProtocolName = 0x00181030, kSequenceName = 0x00180024;
// Patient and study identity
constexpr Tag kPatientName = 0x00100010, kPatientId = 0x00100020, kIssuerOfPatientId = 0x00100021;
constexpr Tag kPatientBirthDate = 0x00100030, kAccessionNumber = 0x00080050, kStudyId = 0x00200010;
constexpr Tag kStudyInstanceUid = 0x0020000D;
constexpr Tag kSopClassUid = 0x00080016, kBurnedInAnnotation = 0x00280301;
// Geometry
constexpr Tag kImagePosition = 0x00200032, kImageOrientation = 0x00200037, kPixelSpacing = 0x00280030;
constexpr Tag kSliceThickness = 0x00180050, kSpacingBetweenSlices = 0x00180088;
// MR acquisition
constexpr Tag kEchoTime = 0x00180081, kEffectiveEchoTime = 0x00189082, kInPlanePhaseEncodingDirection = 0x00181312;
constexpr Tag kMrDiffusionSequence = 0x00189117, kDiffusionBValue = 0x00189087;
constexpr Tag kDiffusionGradientOrientation = 0x00189089;
// Multi-frame functional groups and time
constexpr Tag kSharedGroups = 0x52009229, kPerFrameGroups = 0x52009230;
constexpr Tag kTemporalPositionIndex = 0x00209128, kTemporalTimeOffset = 0x0020930D;

}  // namespace loamwerk::tags
