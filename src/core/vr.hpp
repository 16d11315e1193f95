// Tags and value representations.
#pragma once

#include <cstdint>
#include <string_view>

namespace loamwerk {

using Tag = std::uint32_t;  // group << 16 | element
using VR = std::uint16_t;   // first character in the low byte; 0 = unknown

constexpr Tag make_tag(std::uint16_t group, std::uint16_t element) {
    return (Tag(group) << 16) | element;
}
constexpr std::uint16_t tag_group(Tag t) { return std::uint16_t(t >> 16); }
constexpr std::uint16_t tag_element(Tag t) { return std::uint16_t(t & 0xFFFF); }
constexpr bool is_private_group(std::uint16_t group) { return (group & 1) != 0; }

constexpr VR make_vr(char a, char b) {
    return VR(std::uint8_t(a) | (std::uint16_t(std::uint8_t(b)) << 8));
}
constexpr VR make_vr(std::string_view s) { return s.size() == 2 ? make_vr(s[0], s[1]) : VR(0); }

namespace vr {
constexpr VR AE = make_vr('A', 'E'), AS = make_vr('A', 'S'), AT = make_vr('A', 'T'),
             CS = make_vr('C', 'S'), DA = make_vr('D', 'A'), DS = make_vr('D', 'S'),
             DT = make_vr('D', 'T'), FD = make_vr('F', 'D'), FL = make_vr('F', 'L'),
             IS = make_vr('I', 'S'), LO = make_vr('L', 'O'), LT = make_vr('L', 'T'),
             OB = make_vr('O', 'B'), OD = make_vr('O', 'D'), OF = make_vr('O', 'F'),
             OL = make_vr('O', 'L'), OV = make_vr('O', 'V'), OW = make_vr('O', 'W'),
             PN = make_vr('P', 'N'), SH = make_vr('S', 'H'), SL = make_vr('S', 'L'),
             SQ = make_vr('S', 'Q'), SS = make_vr('S', 'S'), ST = make_vr('S', 'T'),
             SV = make_vr('S', 'V'), TM = make_vr('T', 'M'), UC = make_vr('U', 'C'),
             UI = make_vr('U', 'I'), UL = make_vr('U', 'L'), UN = make_vr('U', 'N'),
             UR = make_vr('U', 'R'), US = make_vr('U', 'S'), UT = make_vr('U', 'T'),
             UV = make_vr('U', 'V');
}  // namespace vr

// True for the 34 codes of the standard.
bool is_vr(VR v);
// True for the codes whose explicit header has a reserved field and a 4-byte length.
bool has_long_length(VR v);
// True for the character-string VRs (AE to UT).
bool is_text_vr(VR v);
// Text form of a VR ("" for 0 or a non-VR).
std::string_view vr_text(VR v);

}  // namespace loamwerk
