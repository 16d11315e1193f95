// Character-set decoding: the first byte picks a Specific Character Set, the rest is the value.
#include <string>
#include <vector>

#include "core/charset.hpp"
#include "core/vr.hpp"
#include "fuzz.hpp"

using namespace loamwerk;

namespace {
const char* kCharsets[] = {"", "ISO_IR 100", "ISO_IR 192", "GB18030", "GBK", "ISO 2022 IR 87", "ISO 2022 IR 149",
                           "ISO_IR 13\\ISO 2022 IR 87", "\\ISO 2022 IR 87\\ISO 2022 IR 159", "ISO 2022 IR 58",
                           "ISO_IR 144", "ISO_IR 126", "ISO_IR 138", "ISO_IR 166", "ISO 2022 IR 6\\ISO 2022 IR 149",
                           "ISO_IR 127", "\\ISO 2022 IR 13\\ISO 2022 IR 87", "bogus"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const char* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof kCharsets[0])];
    std::vector<char> out(size * 8 + 64);
    std::size_t length = 0;
    decode_single(charset, data + 1, size - 1, out.data(), out.size(), &length, vr::PN);
    if (CharsetDecoder* d = charset_decoder_open(charset, 0)) {
        decode_value(d, data + 1, size - 1, out.data(), out.size(), &length, "\\^=");
        std::string text;
        decode_text(d, data + 1, size - 1, "\\", text);
        charset_decoder_close(d);
    }
    charset::utf8_sequence_length(data, size);
    return 0;
}
