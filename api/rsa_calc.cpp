#include "api/rsa_calc.h"

#include <algorithm>
#include <vector>

#include "card/common/card_output.h"
#include "codec/padding.h"
#include "platform/secure_memory.h"

namespace qav::api {

uint32_t RsaCalcWithPadding(CCardSeal& card, RsaKey key, uint32_t bits, uint32_t file,
                            uint32_t mode, const uint8_t* input, uint32_t inputLength, uint8_t* out,
                            uint32_t* outLength) {
    const bool isPublic = key == RsaKey::kPublic;
    const auto padding =
        static_cast<uint32_t>(isPublic ? PaddingMode::kPkcs1Type2 : PaddingMode::kPkcs1Type1);
    const auto unpadding =
        static_cast<uint32_t>(isPublic ? PaddingMode::kPkcs1Type1 : PaddingMode::kPkcs1Type2);
    const uint32_t n = bits / 8;

    std::vector<uint8_t> block(n);
    const platform::WipeOnExit wipeBlock(block);
    if (mode != 0) {
        uint32_t blockLength = n;
        if (const uint32_t rc = Pad(padding, n, input, inputLength, block.data(), &blockLength)) {
            return rc;
        }
    } else {
        if (inputLength != n) return QAV_E_BAD_LENGTH;
        std::copy_n(input, n, block.begin());
    }

    std::vector<uint8_t> result(n);
    const platform::WipeOnExit wipeResult(result);
    uint32_t resultLength = n;
    const uint32_t rc =
        isPublic
            ? card.RSAPublicKeyCalc(bits, file, block.data(), n, result.data(), &resultLength, 0)
            : card.RSAPrivateKeyCalc(bits, file, block.data(), n, result.data(), &resultLength, 0);
    if (rc != QAV_OK) return rc;
    resultLength = std::min(resultLength, n);
    if (mode != 0) return HandOut(result.data(), resultLength, out, outLength);
    return Unpad(unpadding, resultLength, result.data(), resultLength, out, outLength);
}

}  // namespace qav::api
