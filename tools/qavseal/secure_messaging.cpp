#include "secure_messaging.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "platform/secure_memory.h"

namespace qavtool {
namespace {

constexpr size_t kBlock = 16;

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// SM4 without padding over whole blocks; false on any failure.
bool Sm4(const Bytes& key, const uint8_t* iv, const Bytes& in, Bytes* out) {
    if (key.size() != kBlock || in.empty() || in.size() % kBlock != 0) return false;
    const std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
    const EVP_CIPHER* cipher = iv != nullptr ? EVP_sm4_cbc() : EVP_sm4_ecb();
    out->assign(in.size() + kBlock, 0);
    int length = 0;
    int tail = 0;
    const bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
                    EVP_EncryptUpdate(ctx.get(), out->data(), &length, in.data(),
                                      static_cast<int>(in.size())) == 1 &&
                    EVP_EncryptFinal_ex(ctx.get(), out->data() + length, &tail) == 1;
    out->resize(ok ? static_cast<size_t>(length + tail) : 0);
    return ok;
}

Bytes PadIso(const uint8_t* data, uint32_t length) {
    Bytes padded(data, data + length);
    padded.push_back(0x80);
    padded.resize((padded.size() + kBlock - 1) / kBlock * kBlock, 0);
    return padded;
}

const SecureKeys& Keys(uintptr_t user1) { return *reinterpret_cast<const SecureKeys*>(user1); }

uint32_t Encrypt(const uint8_t* plaintext, uint32_t plaintextLength, uint8_t* out,
                 uint32_t* outLength, uintptr_t user1) {
    Bytes padded = PadIso(plaintext, plaintextLength);
    const qav::platform::WipeOnExit wipePadded(padded);
    Bytes cryptogram;
    if (!Sm4(Keys(user1).cryptogram, nullptr, padded, &cryptogram)) return QAV_E_CONVERSION;
    if (cryptogram.size() > *outLength) return QAV_E_BUFFER_TOO_SMALL;
    std::copy(cryptogram.begin(), cryptogram.end(), out);
    *outLength = static_cast<uint32_t>(cryptogram.size());
    return QAV_OK;
}

}  // namespace

bool LoadKey(const char* option, const std::string& path, Bytes* key, std::string* error,
             size_t length) {
    const std::string source = std::string(option) + " " + path + ": ";
    Bytes text;
    const qav::platform::WipeOnExit wipeText(text);
    if (!ReadFileBytes(path, &text)) {
        *error = source + "cannot read the file";
        return false;
    }
    if (!ParseHex(reinterpret_cast<const char*>(text.data()), text.size(), key) || key->empty()) {
        qav::platform::SecureWipe(key->data(), key->capacity());
        key->clear();
        *error = source + "the file must hold the key in hexadecimal digits";
        return false;
    }
    if (length != 0 && key->size() != length) {
        *error = source + "the key is " + std::to_string(key->size()) + " bytes long, an SM4 key " +
                 std::to_string(length);
        return false;
    }
    return true;
}

SecureKeys::~SecureKeys() {
    qav::platform::SecureWipe(mac.data(), mac.size());
    qav::platform::SecureWipe(cryptogram.data(), cryptogram.size());
}

uint32_t QAV_CALLBACK CommandMac(const uint8_t* challenge, uint32_t challengeLength,
                                 const uint8_t* command, uint32_t commandLength, uint8_t* mac,
                                 uintptr_t user1, uintptr_t) {
    uint8_t iv[kBlock] = {};
    std::copy_n(challenge, std::min<size_t>(challengeLength, kBlock), iv);
    Bytes chained;
    if (!Sm4(Keys(user1).mac, iv, PadIso(command, commandLength), &chained)) {
        return QAV_E_CONVERSION;
    }
    std::copy_n(chained.end() - kBlock, 4, mac);
    return QAV_OK;
}

uint32_t QAV_CALLBACK EncryptData(const uint8_t*, uint32_t, const uint8_t* plaintext,
                                  uint32_t plaintextLength, uint8_t* out, uint32_t* outLength,
                                  uintptr_t user1, uintptr_t) {
    return Encrypt(plaintext, plaintextLength, out, outLength, user1);
}

uint32_t QAV_CALLBACK EncryptPinBlock(const uint8_t*, uint32_t, const uint8_t* plaintext,
                                      uint32_t plaintextLength, uint8_t* out, uint32_t* outLength,
                                      uintptr_t user1, uintptr_t) {
    return Encrypt(plaintext, plaintextLength, out, outLength, user1) == QAV_OK ? 1 : 0;
}

uint32_t QAV_CALLBACK AuthCryptogram(const uint8_t* challenge, uint32_t challengeLength,
                                     uint8_t* out, uint32_t* outLength, uintptr_t user1,
                                     uintptr_t) {
    Bytes block(kBlock, 0);
    std::copy_n(challenge, std::min<size_t>(challengeLength, kBlock), block.begin());
    Bytes cryptogram;
    if (!Sm4(Keys(user1).cryptogram, nullptr, block, &cryptogram)) return QAV_E_CONVERSION;
    if (cryptogram.size() > *outLength) return QAV_E_BUFFER_TOO_SMALL;
    std::copy(cryptogram.begin(), cryptogram.end(), out);
    *outLength = static_cast<uint32_t>(cryptogram.size());
    return QAV_OK;
}

}  // namespace qavtool
