// Session keys, card hashing, symmetric ciphers and delivered keys.
#include "card_engine.h"
#include "tlv.h"

namespace vcard {
namespace {

constexpr uint8_t kFixedKeyIndex = 6;
constexpr uint8_t kGeneratedKeyIndex = 5;

struct SessionAlgorithm {
    Cipher cipher;
    size_t keyLength;
};

// Session-key algorithm numbers as the card knows them (3 is not one).
std::optional<SessionAlgorithm> Algorithm(uint8_t number) {
    switch (number) {
        case 1:
        case 7:
            return SessionAlgorithm{Cipher::Sm4, 16};
        case 2:
            return SessionAlgorithm{Cipher::Aes128, 16};
        case 4:
            return SessionAlgorithm{Cipher::Des3, 8};
        case 5:
            return SessionAlgorithm{Cipher::Des3, 16};
        case 6:
            return SessionAlgorithm{Cipher::Des3, 24};
        default:
            return std::nullopt;
    }
}

// Wrap algorithm in bits 6-5 of P2: 00 RSA-1024, 11 RSA-2048, 01 SM2.
std::optional<uint8_t> WrapAlgorithm(uint8_t p2) {
    switch (p2 & 0x60) {
        case 0x00:
            return 0;
        case 0x60:
            return 1;
        case 0x20:
            return 2;
        default:
            return std::nullopt;
    }
}

Bytes LastBlock(const Bytes& data, size_t block) {
    return Bytes(data.end() - static_cast<std::ptrdiff_t>(block), data.end());
}

bool TokenKeyType(uint8_t type) {
    const uint8_t low = type & 0x1F;
    return low == 6 || low == 7 || low == 8 || (low >= 24 && low <= 27);
}

}  // namespace

Answer CardEngine::ImportSessionKey(const Apdu& apdu) {
    if (apdu.p1 == 0xFF) {
        const int index = (apdu.p2 & 0x0F) - 1;
        if (index < 0 || index > 4) return Status(sw::kWrongP1P2);
        return sessionKeys_.erase(static_cast<uint8_t>(index)) != 0 ? Ok()
                                                                    : Status(sw::kRefNotFound);
    }
    const auto algorithm = Algorithm(apdu.p1 & 0x07);
    if (!algorithm) return Status(sw::kWrongP1P2);
    const bool first = (apdu.p1 & 0x08) != 0, middle = (apdu.p1 & 0x10) != 0,
               last = (apdu.p1 & 0x20) != 0;
    if (first + middle + last > 1) return Status(sw::kWrongP1P2);
    if (!middle && !last) {
        chain_.Clear();
        chain_.ins = apdu.ins;
    } else if (chain_.ins != apdu.ins) {
        return Status(sw::kConditions);
    }
    chain_.buffer.insert(chain_.buffer.end(), apdu.data.begin(), apdu.data.end());
    if (first || middle) return Ok();
    const Bytes encoding = std::move(chain_.buffer);
    chain_.Clear();

    const auto list = ParseTlv(encoding);
    if (!list) return Status(sw::kWrongData);
    const Tlv* value = FindTlv(*list, 0xC1);
    if (value == nullptr) return Status(sw::kWrongData);
    Bytes key = value->value;
    if ((apdu.p2 & 0x80) != 0) {
        const auto wrap = WrapAlgorithm(apdu.p2);
        const Tlv* keyFile = FindTlv(*list, 0xC2);
        if (!wrap || keyFile == nullptr || keyFile->value.size() != 2)
            return Status(sw::kWrongData);
        if (!pinVerified_) return Status(sw::kSecurity);
        const CardFile* file = SealFile(Be16(keyFile->value.data()));
        if (file == nullptr) return Status(sw::kNotFound);
        key = *wrap == 2 ? Sm2Decrypt(file->data, key) : RsaPkcs1Decrypt(file->data, key);
    }
    if (key.size() != algorithm->keyLength) return Status(sw::kWrongData);
    uint8_t index = 0;
    if ((apdu.p2 & 0x0F) != 0) {
        index = static_cast<uint8_t>((apdu.p2 & 0x0F) - 1);
        if (index > 4) return Status(sw::kWrongP1P2);
    } else {
        while (index < 5 && sessionKeys_.count(index) != 0) ++index;
        if (index == 5) return Status(sw::kNoSpace);
    }
    sessionKeys_[index] = SessionKey{static_cast<uint8_t>(apdu.p1 & 0x07), key};
    return Ok({index});
}

Answer CardEngine::ExportKey(const Apdu& apdu) {
    if (apdu.p1 == 0x00) {
        // The application authentication keys leave the card under the transport key.
        const auto key = image_.appAuthKeys.find(apdu.p2);
        if (key == image_.appAuthKeys.end()) return Status(sw::kRefNotFound);
        if (!pinVerified_) return Status(sw::kSecurity);
        return Ok(BlockCipher(Cipher::Sm4, image_.encKey, {}, key->second, true));
    }
    if (!Algorithm(apdu.p1)) return Status(sw::kWrongP1P2);
    const auto stored = sessionKeys_.find(apdu.p2 & 0x0F);
    if (stored == sessionKeys_.end()) return Status(sw::kRefNotFound);
    if (stored->second.algorithm != apdu.p1) return Status(sw::kWrongData);
    Bytes out;
    if ((apdu.p2 & 0x80) == 0) {
        AppendTlv(out, 0xC1, stored->second.key);
        return Ok(out);
    }
    const auto wrap = WrapAlgorithm(apdu.p2);
    const auto list = ParseTlv(apdu.data);
    if (!wrap || !list) return Status(sw::kWrongData);
    const Tlv* keyFile = FindTlv(*list, 0xC0);
    if (keyFile == nullptr || keyFile->value.size() != 2) return Status(sw::kWrongData);
    const CardFile* file = SealFile(Be16(keyFile->value.data()));
    if (file == nullptr) return Status(sw::kNotFound);
    const size_t modulus = *wrap == 0 ? 128 : 256;
    if (*wrap == 2) {
        if (file->data.size() != 64) return Status(sw::kConditions);
        AppendTlv(out, 0xC1, Sm2Encrypt(file->data, stored->second.key));
    } else {
        if (file->data.size() != modulus + 4) return Status(sw::kConditions);
        AppendTlv(out, 0xC1, RsaPkcs1Encrypt(file->data, stored->second.key));
    }
    return Ok(out);
}

Answer CardEngine::CipherCommand(const Apdu& apdu) {
    if (apdu.p1 > 3) return Status(sw::kWrongP1P2);
    const bool first = apdu.p1 == 0 || apdu.p1 == 1;
    if (!first) {
        if (chain_.ins != apdu.ins) return Status(sw::kConditions);
        return chain_.session ? SessionKeyCipher(apdu, false) : CipherData(apdu, false);
    }
    chain_.Clear();
    // Both uses share 80 FA; the session-key form starts with a 4-byte prefix
    // before whole blocks, so its first piece is 4 bytes past a multiple of 8.
    if (apdu.data.size() % 8 == 4) return SessionKeyCipher(apdu, true);
    return CipherData(apdu, true);
}

Answer CardEngine::SessionKeyCipher(const Apdu& apdu, bool first) {
    size_t at = 0;
    if (first) {
        if (apdu.data[0] != 0 || apdu.data[1] != 0 || apdu.data[2] != 0)
            return Status(sw::kWrongData);
        const uint8_t index = apdu.data[3];
        SessionKey key;
        if (index == kFixedKeyIndex) {
            key = SessionKey{1, image_.cipherKey};
        } else {
            const auto stored = sessionKeys_.find(index);
            if (stored == sessionKeys_.end()) return Status(sw::kRefNotFound);
            key = stored->second;
        }
        chain_.ins = apdu.ins;
        chain_.session = true;
        chain_.cipher = Algorithm(key.algorithm)->cipher;
        chain_.key = key.key;
        chain_.p2 = apdu.p2;
        at = 4;
        if ((apdu.p2 & 0x01) != 0) {
            const size_t block = BlockSize(chain_.cipher);
            if (apdu.data.size() < at + block) return Status(sw::kWrongLength);
            chain_.iv.assign(apdu.data.begin() + 4,
                             apdu.data.begin() + static_cast<std::ptrdiff_t>(4 + block));
            at += block;
        }
    } else if (apdu.p2 != 0x00) {
        return Status(sw::kWrongP1P2);
    }
    const Bytes piece(apdu.data.begin() + static_cast<std::ptrdiff_t>(at), apdu.data.end());
    const size_t block = BlockSize(chain_.cipher);
    if (piece.empty() || piece.size() % block != 0) return Status(sw::kWrongLength);
    // Bit 80 asks for decryption, as in the cipher command's 40.
    const bool encrypt = (chain_.p2 & 0x80) == 0;
    const Bytes out = BlockCipher(chain_.cipher, chain_.key, chain_.iv, piece, encrypt);
    if (!chain_.iv.empty()) chain_.iv = LastBlock(encrypt ? out : piece, block);
    if (apdu.p1 == 0 || apdu.p1 == 3) chain_.Clear();
    return Ok(out);
}

Answer CardEngine::CipherData(const Apdu& apdu, bool first) {
    size_t at = 0;
    if (first) {
        chain_.ins = apdu.ins;
        chain_.session = false;
        chain_.cipher = Cipher::Sm4;
        chain_.p2 = apdu.p2;
        if ((apdu.p2 & 0x20) != 0) {
            if (apdu.data.size() < 16) return Status(sw::kWrongLength);
            chain_.iv.assign(apdu.data.begin(), apdu.data.begin() + 16);
            at = 16;
        }
        if ((apdu.p2 & 0x01) != 0) {
            if (apdu.data.size() < at + 16) return Status(sw::kWrongLength);
            chain_.key.assign(apdu.data.begin() + static_cast<std::ptrdiff_t>(at),
                              apdu.data.begin() + static_cast<std::ptrdiff_t>(at + 16));
            at += 16;
        } else {
            chain_.key = image_.cipherKey;
        }
        if ((apdu.p2 & 0x80) != 0 && chain_.iv.empty()) chain_.iv = Bytes(16, 0x00);
    } else if (apdu.p2 != chain_.p2) {
        return Status(sw::kWrongP1P2);
    }
    const Bytes piece(apdu.data.begin() + static_cast<std::ptrdiff_t>(at), apdu.data.end());
    if (piece.empty() || piece.size() % 16 != 0) return Status(sw::kWrongLength);
    const bool last = apdu.p1 == 0 || apdu.p1 == 3;
    if ((chain_.p2 & 0x80) != 0) {
        chain_.iv = CbcMac(Cipher::Sm4, chain_.key, chain_.iv, piece);
        if (!last) return Ok();
        const Bytes mac(chain_.iv.begin(), chain_.iv.begin() + 4);
        chain_.Clear();
        return Ok(mac);
    }
    const bool encrypt = (chain_.p2 & 0x40) == 0;
    const Bytes out = BlockCipher(Cipher::Sm4, chain_.key, chain_.iv, piece, encrypt);
    if (!chain_.iv.empty()) chain_.iv = LastBlock(encrypt ? out : piece, 16);
    if (last) chain_.Clear();
    return Ok(out);
}

Answer CardEngine::CardHash(const Apdu& apdu) {
    if (apdu.p2 < 1 || apdu.p2 > 3) return Status(sw::kWrongP1P2);
    const Digest digest = apdu.p2 == 1 ? Digest::Sm3 : apdu.p2 == 2 ? Digest::Sha1 : Digest::Sha256;
    const auto list = ParseTlv(apdu.data);
    if (!list) return Status(sw::kWrongData);
    auto identity = [&](const Tlv* keyFile) -> std::optional<Bytes> {
        if (keyFile == nullptr || keyFile->value.size() != 2 || digest != Digest::Sm3)
            return std::nullopt;
        const CardFile* file = SealFile(Be16(keyFile->value.data()));
        if (file == nullptr) return std::nullopt;
        if (file->data.size() == 32) return Sm2IdentityDigest(Sm2PublicFromPrivate(file->data));
        if (file->data.size() == 64) return Sm2IdentityDigest(file->data);
        return std::nullopt;
    };
    if (apdu.p1 == 0x41) {
        const auto z = identity(FindTlv(*list, 0xC0));
        return z ? Ok(*z) : Status(sw::kWrongData);
    }
    if ((apdu.p1 & 0x7C) != 0) return Status(sw::kWrongP1P2);
    const uint8_t position = apdu.p1 & 0x03;  // 01 only, 00 first, 02 middle, 03 last
    const bool withKey = (apdu.p1 & 0x80) != 0;
    const bool starts = position == 0x01 || position == 0x00;
    const bool ends = position == 0x01 || position == 0x03;
    if (withKey && !ends) return Status(sw::kWrongP1P2);
    const Tlv* data = FindTlv(*list, 0xC1);
    if (data == nullptr) return Status(sw::kWrongData);
    if (starts) {
        chain_.Clear();
        chain_.ins = apdu.ins;
        chain_.p2 = apdu.p2;
    } else if (chain_.ins != apdu.ins || chain_.p2 != apdu.p2) {
        return Status(sw::kConditions);
    }
    chain_.buffer.insert(chain_.buffer.end(), data->value.begin(), data->value.end());
    if (!ends) return Ok();
    Bytes input = std::move(chain_.buffer);
    chain_.Clear();
    if (withKey) {
        const auto z = identity(FindTlv(*list, 0xC0));
        if (!z) return Status(sw::kWrongData);
        input = Concat(*z, input);
    }
    return Ok(Hash(digest, input));
}

Answer CardEngine::DeliveryKey(const Apdu& apdu) {
    if (apdu.data.size() < 8 || apdu.data.size() > 56 || apdu.data.size() % 8 != 0)
        return Status(sw::kWrongLength);
    if (!externalAuthenticated_) return Status(sw::kSecurity);
    image_.deliveredKeys[static_cast<uint16_t>(apdu.p1 << 8 | apdu.p2)] = apdu.data;
    modified_ = true;
    return Ok();
}

Answer CardEngine::GenerateToken(const Apdu& apdu) {
    if (!TokenKeyType(apdu.p1)) return Status(sw::kWrongP1P2);
    if (!apdu.hasLe || apdu.le != 16) return Status(sw::kWrongLength);
    token_ = std::make_pair(static_cast<uint16_t>(apdu.p1 << 8 | apdu.p2), RandomBytes(16));
    return Ok(token_->second);
}

Answer CardEngine::GenerateSessionKey(const Apdu& apdu) {
    if (!TokenKeyType(apdu.p1)) return Status(sw::kWrongP1P2);
    if (!apdu.data.empty() && apdu.data.size() != 32) return Status(sw::kWrongLength);
    const uint16_t id = static_cast<uint16_t>(apdu.p1 << 8 | apdu.p2);
    if (!token_ || token_->first != id) {
        if (!apdu.data.empty()) return Status(sw::kConditions);
        return Ok({0x00});
    }
    const auto delivered = image_.deliveredKeys.find(id);
    const Bytes& base =
        delivered != image_.deliveredKeys.end() ? delivered->second : image_.cipherKey;
    const Bytes digest = Hash(Digest::Sm3, Concat(Concat(base, token_->second), apdu.data));
    sessionKeys_[kGeneratedKeyIndex] = SessionKey{1, Bytes(digest.begin(), digest.begin() + 16)};
    token_.reset();
    return Ok({0x01});
}

}  // namespace vcard
