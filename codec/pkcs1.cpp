#include "codec/pkcs1.h"

#include <climits>

#if defined(QAV_HAVE_OPENSSL)
// The block-type functions are all we need from OpenSSL's RSA module; they
// are deprecated in OpenSSL 3 but still the exact operations we want.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rsa.h>
#endif

namespace qav {

#if defined(QAV_HAVE_OPENSSL)

bool Pkcs1Add(uint32_t blockType, uint8_t* block, uint32_t blockSize, const uint8_t* data,
              uint32_t dataLength) {
    if (blockSize > INT_MAX || dataLength > blockSize) return false;
    const int tlen = static_cast<int>(blockSize);
    const int flen = static_cast<int>(dataLength);
    if (blockType == 1) return RSA_padding_add_PKCS1_type_1(block, tlen, data, flen) == 1;
    if (blockType == 2) return RSA_padding_add_PKCS1_type_2(block, tlen, data, flen) == 1;
    return false;
}

bool Pkcs1Check(uint32_t blockType, const uint8_t* block, uint32_t blockSize, uint8_t* out,
                uint32_t dataLength) {
    if (blockSize < kPkcs1Overhead || blockSize > INT_MAX || dataLength > blockSize) return false;
    const int tlen = static_cast<int>(dataLength);
    const int flen = static_cast<int>(blockSize - 1);
    const int num = static_cast<int>(blockSize);
    int got = -1;
    if (blockType == 1) {
        got = RSA_padding_check_PKCS1_type_1(out, tlen, block + 1, flen, num);
    } else if (blockType == 2) {
        got = RSA_padding_check_PKCS1_type_2(out, tlen, block + 1, flen, num);
    }
    return got == tlen;
}

#else

bool Pkcs1Add(uint32_t, uint8_t*, uint32_t, const uint8_t*, uint32_t) { return false; }
bool Pkcs1Check(uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t) { return false; }

#endif

}  // namespace qav
