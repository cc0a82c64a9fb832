#include "card_fixture.h"

namespace vcard_test {

const std::string& DefaultImageJson() {
    static const std::string json = vcard::SealCard::CreateDefault()->ToJson();
    return json;
}

Bytes Cmd(const std::string& header, const Bytes& data, bool le) {
    Bytes out = Hex(header);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (le) out.push_back(0x00);
    return out;
}

Bytes Range(size_t count, uint8_t start) {
    Bytes out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(start + i);
    return out;
}

Bytes CardTest::SelectFile(uint16_t fid) {
    return Send(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<uint8_t>(fid >> 8),
                      static_cast<uint8_t>(fid)});
}

Bytes CardTest::ReadFile(uint16_t fid, size_t length) {
    const Bytes selected = SelectFile(fid);
    if (Sw(selected) != 0x9000) return selected;
    Bytes all;
    for (size_t at = 0; at < length; at += 240) {
        const size_t piece = std::min<size_t>(240, length - at);
        const Bytes answer = Send(Bytes{0x00, 0xB0, static_cast<uint8_t>(at >> 8),
                                        static_cast<uint8_t>(at), static_cast<uint8_t>(piece)});
        if (Sw(answer) != 0x9000) return answer;
        const Bytes body = Data(answer);
        all.insert(all.end(), body.begin(), body.end());
    }
    all.push_back(0x90);
    all.push_back(0x00);
    return all;
}

Bytes CardTest::Challenge(size_t length) {
    const Bytes answer = Send(Bytes{0x00, 0x84, 0x00, 0x00, static_cast<uint8_t>(length)});
    EXPECT_EQ(Sw(answer), 0x9000);
    return Data(answer);
}

Bytes CardTest::Secured(Bytes header, const Bytes& data, const Bytes& challenge) {
    header.push_back(static_cast<uint8_t>(data.size() + 4));
    header.insert(header.end(), data.begin(), data.end());
    const Bytes mac = host::SecureMac(kMacKey, challenge, header);
    header.insert(header.end(), mac.begin(), mac.end());
    return header;
}

}  // namespace vcard_test
