// The Siemens CSA header (private element (0029,1010) or (0029,1020)): named entries of text values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::diffusion {

class CsaHeader {
public:
    // Parses the SV10 form and the older form; an unreadable header has no entries.
    static CsaHeader parse(std::span<const std::uint8_t> bytes);
    const std::vector<std::string>* values(std::string_view name) const;
    std::optional<double> number(std::string_view name, std::size_t index = 0) const;
    bool empty() const { return entries_.empty(); }

private:
    std::vector<std::pair<std::string, std::vector<std::string>>> entries_;
};

}  // namespace loamwerk::diffusion
