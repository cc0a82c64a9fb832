// Unpadding data from the card: byte 0 picks the mode, byte 1 the block
// size, the rest is the padded input. The size query and the real call must
// agree, and the in-place form must give the same bytes. PKCS #1 blocks must
// be judged as OpenSSL judges them, down to the data bytes.
#define OPENSSL_SUPPRESS_DEPRECATED  // the block checks are all this needs
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/padding.h"
#include "qavseal/qavseal.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// OpenSSL's verdict on a one-block input: the data length, or -1.
int OpenSslDataLength(uint32_t mode, const std::vector<uint8_t>& in, std::vector<uint8_t>* data) {
    const int num = static_cast<int>(in.size());
    data->assign(in.size(), 0);
    // The first byte is not judged, so OpenSSL sees the block without it.
    return mode == 4
               ? RSA_padding_check_PKCS1_type_1(data->data(), num, in.data() + 1, num - 1, num)
               : RSA_padding_check_PKCS1_type_2(data->data(), num, in.data() + 1, num - 1, num);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    const uint32_t mode = data[0] % 8;
    const uint32_t blockSize = data[1];
    const std::vector<uint8_t> in(data + 2, data + size);
    const auto inLength = static_cast<uint32_t>(in.size());

    uint32_t needed = 0;
    const uint32_t query = qav::Unpad(mode, blockSize, in.data(), inLength, nullptr, &needed);

    std::vector<uint8_t> out(inLength + 1, 0xA5);
    auto outLength = static_cast<uint32_t>(out.size());
    const uint32_t rc = qav::Unpad(mode, blockSize, in.data(), inLength, out.data(), &outLength);
    Require(rc == query);
    if ((mode == 4 || mode == 5) && blockSize >= 11 && inLength == blockSize) {
        std::vector<uint8_t> theirs;
        const int theirLength = OpenSslDataLength(mode, in, &theirs);
        Require((rc == QAV_OK) == (theirLength >= 0));
        if (rc == QAV_OK) {
            Require(outLength == static_cast<uint32_t>(theirLength));
            for (uint32_t i = 0; i < outLength; ++i) Require(out[i] == theirs[i]);
        }
    }
    if (rc != QAV_OK) return 0;
    Require(outLength == needed && outLength <= inLength);
    for (size_t i = outLength; i < out.size(); ++i) Require(out[i] == 0);

    std::vector<uint8_t> inPlace = in;
    auto inPlaceLength = inLength;
    Require(qav::Unpad(mode, blockSize, inPlace.data(), inLength, inPlace.data(), &inPlaceLength) ==
            QAV_OK);
    Require(inPlaceLength == outLength);
    for (uint32_t i = 0; i < outLength; ++i) Require(inPlace[i] == out[i]);
    return 0;
}
