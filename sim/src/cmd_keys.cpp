// Key pairs, public- and private-key operations, key loading, public-key
// export and the certificate check.
#include "card_engine.h"
#include "tlv.h"

namespace vcard {
namespace {

std::optional<unsigned> RsaSizeCode(uint8_t code) {
    switch (code) {
        case 0:
            return 1024;
        case 1:
            return 1280;
        case 2:
            return 2048;
        default:
            return std::nullopt;
    }
}

std::optional<uint16_t> FileId(const std::vector<Tlv>& list, uint8_t tag) {
    const Tlv* element = FindTlv(list, tag);
    if (element == nullptr || element->value.size() != 2) return std::nullopt;
    return Be16(element->value.data());
}

bool IsSm2Private(const Bytes& file) { return file.size() == 32; }
bool IsSm2Public(const Bytes& file) { return file.size() == 64; }
bool IsRsaPrivate(const Bytes& file) { return file.size() > 64 && file[0] == 0x30; }
bool IsRsaPublic(const Bytes& file) {
    return file.size() == 128 + 4 || file.size() == 160 + 4 || file.size() == 256 + 4;
}

// Chain position of the low two bits: 0 only, 1 first, 2 middle, 3 last.
bool StartsChain(uint8_t position) { return position == 0 || position == 1; }
bool EndsChain(uint8_t position) { return position == 0 || position == 3; }

Bytes RsaPublicAnswer(const Bytes& pub) {
    Bytes out;
    AppendTlv(out, 0xC3, Bytes(pub.begin(), pub.end() - 4));
    AppendTlv(out, 0xC9, Bytes(pub.end() - 4, pub.end()));
    return out;
}

}  // namespace

Answer CardEngine::GenerateRsa(const Apdu& apdu) {
    const auto bits = RsaSizeCode(apdu.p1);
    if (!bits || apdu.p2 != 0) return Status(sw::kWrongP1P2);
    const auto list = ParseTlv(apdu.data);
    if (!list) return Status(sw::kWrongData);
    const auto pubFile = FileId(*list, 0xC0);
    const auto privFile = FileId(*list, 0xC2);
    if (!pubFile || !privFile || *privFile == 0) return Status(sw::kWrongData);
    if (!pinVerified_) return Status(sw::kSecurity);
    const Bytes priv = RsaGenerate(*bits);
    const Bytes pub = RsaPublicFromPrivate(priv);
    WriteSealFile(*privFile, priv, Access::Never, Access::Secure);
    if (*pubFile != 0) {
        WriteSealFile(*pubFile, pub, Access::Always, Access::Pin);
        return Ok();
    }
    return Ok(RsaPublicAnswer(pub));
}

Answer CardEngine::GenerateSm2(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 > 1) return Status(sw::kWrongP1P2);
    const auto list = ParseTlv(apdu.data);
    if (!list) return Status(sw::kWrongData);
    const auto pubFile = FileId(*list, 0xC0);
    const auto privFile = FileId(*list, 0xC2);
    if (!pubFile || !privFile || *privFile == 0) return Status(sw::kWrongData);
    if (!pinVerified_) return Status(sw::kSecurity);
    const Sm2KeyPair pair = Sm2Generate();
    WriteSealFile(*privFile, pair.priv, Access::Never, Access::Secure);
    if (*pubFile != 0) {
        WriteSealFile(*pubFile, pair.pub, Access::Always, Access::Pin);
        return Ok();
    }
    Bytes out;
    AppendTlv(out, 0xCA, pair.pub);
    return Ok(out);
}

Answer CardEngine::RsaCalc(const Apdu& apdu) {
    const bool isPrivate = apdu.ins == 0x48;
    const uint8_t position = apdu.p1 & 0x03;
    if ((apdu.p1 & 0x3C) != 0x00 || (apdu.p1 & 0x40) == 0) return Status(sw::kWrongP1P2);
    const auto bits = RsaSizeCode(apdu.p2);
    if (!bits) return Status(sw::kWrongP1P2);
    if (StartsChain(position)) {
        chain_.Clear();
        chain_.ins = apdu.ins;
    } else if (chain_.ins != apdu.ins) {
        return Status(sw::kConditions);
    }
    chain_.buffer.insert(chain_.buffer.end(), apdu.data.begin(), apdu.data.end());
    if (!EndsChain(position)) return Ok();
    const Bytes encoding = std::move(chain_.buffer);
    chain_.Clear();
    const auto list = ParseTlv(encoding);
    if (!list) return Status(sw::kWrongData);
    const auto keyFile = FileId(*list, isPrivate ? 0xC2 : 0xC0);
    const Tlv* input = FindTlv(*list, 0xC1);
    if (!keyFile || input == nullptr || input->value.size() != *bits / 8)
        return Status(sw::kWrongData);
    if (isPrivate && !pinVerified_) return Status(sw::kSecurity);
    const CardFile* file = SealFile(*keyFile);
    if (file == nullptr) return Status(sw::kNotFound);
    if (isPrivate) {
        if (!IsRsaPrivate(file->data) || RsaBits(file->data) != *bits)
            return Status(sw::kConditions);
        return Ok(RsaRawPrivate(file->data, input->value));
    }
    if (file->data.size() != *bits / 8 + 4) return Status(sw::kConditions);
    return Ok(RsaRawPublic(file->data, input->value));
}

Answer CardEngine::Sm2Calc(const Apdu& apdu) {
    const bool isPrivate = apdu.ins == 0x4E;
    if (apdu.p1 != 0 || apdu.p2 > 1) return Status(sw::kWrongP1P2);
    const auto list = ParseTlv(apdu.data);
    if (!list) return Status(sw::kWrongData);
    const auto keyFile = FileId(*list, isPrivate ? 0xC2 : 0xC0);
    const Tlv* input = FindTlv(*list, 0xC1);
    if (!keyFile || input == nullptr || input->value.empty()) return Status(sw::kWrongData);
    if (isPrivate && !pinVerified_) return Status(sw::kSecurity);
    const CardFile* file = SealFile(*keyFile);
    if (file == nullptr) return Status(sw::kNotFound);
    if (isPrivate ? !IsSm2Private(file->data) : !IsSm2Public(file->data))
        return Status(sw::kConditions);
    const bool second = apdu.p2 == 1;
    if (isPrivate && !second) {
        if (input->value.size() != 32) return Status(sw::kWrongData);
        return Ok(Sm2Sign(file->data, input->value));
    }
    if (isPrivate) return Ok(Sm2Decrypt(file->data, input->value));
    if (second) return Ok(Sm2Encrypt(file->data, input->value));
    if (input->value.size() != 96) return Status(sw::kWrongData);
    const Bytes hash(input->value.begin(), input->value.begin() + 32);
    const Bytes signature(input->value.begin() + 32, input->value.end());
    return Sm2Verify(file->data, hash, signature) ? Ok() : Status(sw::kWrongData);
}

Answer CardEngine::ExportPublicKey(const Apdu& apdu) {
    const bool sm2 = (apdu.p1 & 0x80) != 0;
    const uint8_t kind = apdu.p1 & 0x60;
    if ((kind != 0x60 && kind != 0x40) || (apdu.p1 & 0x1F) != 0) return Status(sw::kWrongP1P2);
    if ((apdu.p2 & 0x7E) != 0) return Status(sw::kWrongP1P2);
    if ((apdu.p2 & 0x80) != 0) {
        // Second step: the key named by the first.
        if (!export_ || !apdu.data.empty()) return Status(sw::kConditions);
        if (IsSm2Public(export_->pub) != sm2) return Status(sw::kWrongP1P2);
        if (sm2) {
            Bytes out;
            AppendTlv(out, 0xCA, export_->pub);
            return Ok(out);
        }
        return Ok(RsaPublicAnswer(export_->pub));
    }
    export_.reset();
    const auto list = ParseTlv(apdu.data);
    if (!list) return Status(sw::kWrongData);
    const auto keyFile = FileId(*list, 0xC0);
    if (!keyFile) return Status(sw::kWrongData);
    const CardFile* file = SealFile(*keyFile);
    if (file == nullptr || file->data.empty()) return Status(sw::kNotFound);
    Bytes pub;
    if (IsSm2Private(file->data))
        pub = Sm2PublicFromPrivate(file->data);
    else if (IsRsaPrivate(file->data))
        pub = RsaPublicFromPrivate(file->data);
    else
        pub = file->data;
    if (sm2 ? !IsSm2Public(pub) : !IsRsaPublic(pub)) return Status(sw::kConditions);
    export_ = PendingExport{pub};
    Bytes info{static_cast<uint8_t>(sm2 ? 0x02 : 0x01)};
    PutBe16(info, static_cast<unsigned>(sm2 ? 256 : (pub.size() - 4) * 8));
    info = Concat(info, Hash(Digest::Sm3, pub));
    Bytes out;
    AppendTlv(out, 0xC1, info);
    return Ok(out);
}

Answer CardEngine::WriteRsaKey(const Apdu& apdu) {
    if (apdu.cla != 0x84) return Status(sw::kSecurity);
    Bytes chunk;
    if (const auto failure = CheckMac(apdu, chunk)) return Status(*failure);
    const bool encrypted = (apdu.p1 & 0x80) != 0;
    const uint8_t position = static_cast<uint8_t>((apdu.p1 >> 5) & 0x03);
    const uint8_t size = apdu.p1 & 0x03;
    const unsigned bits = size == 0 ? 1024 : size == 1 ? 1280 : size == 3 ? 2048 : 0;
    if (bits == 0) return Status(sw::kWrongP1P2);
    // Position codes of this command: 0 only, 1 first, 2 middle, 3 last.
    if (StartsChain(position)) {
        chain_.Clear();
        chain_.ins = apdu.ins;
    } else if (chain_.ins != apdu.ins) {
        return Status(sw::kConditions);
    }
    chain_.buffer.insert(chain_.buffer.end(), chunk.begin(), chunk.end());
    if (!EndsChain(position)) return Ok();
    const Bytes encoding = std::move(chain_.buffer);
    chain_.Clear();
    const auto list = ParseTlv(encoding);
    if (!list || list->size() != 2) return Status(sw::kWrongData);
    const Tlv& target = (*list)[0];
    Tlv component = (*list)[1];
    if ((target.tag != 0xC0 && target.tag != 0xC2) || target.value.size() != 2)
        return Status(sw::kWrongData);
    // The host sends every component at its fixed length, so a cryptogram here
    // is unpadded SM4-ECB; the 4-byte exponent is public and travels plain.
    if (encrypted && component.tag != 0xC9) {
        if (component.value.empty() || component.value.size() % 16 != 0)
            return Status(sw::kWrongData);
        component.value = BlockCipher(Cipher::Sm4, image_.encKey, {}, component.value, false);
    }
    const uint16_t file = Be16(target.value.data());
    const bool isPublic = target.tag == 0xC0;
    const size_t expected = component.tag == 0xC3   ? bits / 8
                            : component.tag == 0xC9 ? 4
                                                    : bits / 16;
    const bool tagFits = isPublic ? (component.tag == 0xC3 || component.tag == 0xC9)
                                  : (component.tag >= 0xC4 && component.tag <= 0xC8);
    if (!tagFits || component.value.size() != expected) return Status(sw::kWrongData);
    auto& parts = keyComponents_[file];
    parts[component.tag] = component.value;
    if (isPublic && parts.count(0xC3) != 0 && parts.count(0xC9) != 0) {
        WriteSealFile(file, Concat(parts[0xC3], parts[0xC9]), Access::Always, Access::Pin);
        keyComponents_.erase(file);
    } else if (!isPublic && parts.size() == 5) {
        WriteSealFile(
            file,
            RsaFromComponents(parts[0xC4], parts[0xC5], parts[0xC6], parts[0xC7], parts[0xC8]),
            Access::Never, Access::Secure);
        keyComponents_.erase(file);
    }
    return Ok();
}

Answer CardEngine::WriteSm2Key(const Apdu& apdu) {
    Bytes data = apdu.data;
    if (apdu.cla == 0x84) {
        if (const auto failure = CheckMac(apdu, data)) return Status(*failure);
    } else if (!pinVerified_) {
        return Status(sw::kSecurity);
    }
    if (apdu.p2 > 1) return Status(sw::kWrongP1P2);
    const bool isPublic = apdu.p2 == 0;
    const auto list = ParseTlv(data);
    if (!list) return Status(sw::kWrongData);
    const auto file = FileId(*list, isPublic ? 0xC0 : 0xC2);
    const Tlv* value = FindTlv(*list, isPublic ? 0xCA : 0xCB);
    if (!file || value == nullptr) return Status(sw::kWrongData);
    Bytes key = value->value;
    if ((apdu.p1 & 0x80) != 0) {
        try {
            key = SecureDecrypt(image_.encKey, key);
        } catch (const CryptoError&) {
            return Status(sw::kSmBadMac);
        }
    }
    if (key.size() != (isPublic ? 64u : 32u)) return Status(sw::kWrongData);
    if (isPublic) {
        WriteSealFile(*file, key, Access::Always, Access::Pin);
    } else {
        Sm2PublicFromPrivate(key);  // refuses a scalar that is not a key
        WriteSealFile(*file, key, Access::Never, Access::Secure);
    }
    return Ok();
}

namespace {

// The first of the three files of CF (C's certificate, public key, private
// key): where a verified certificate goes.
std::optional<uint16_t> CertificateFileOfC(const std::vector<Tlv>& list) {
    const Tlv* files = FindTlv(list, 0xCF);
    if (files == nullptr || files->value.size() != 6) return std::nullopt;
    return Be16(files->value.data());
}

}  // namespace

bool CardEngine::IsKeyFile(uint16_t fid) {
    const CardFile* table = SealFile(fid::kContainers);
    if (table == nullptr) return false;
    for (size_t at = 0; at + 60 <= table->data.size(); at += 60) {
        const uint8_t* record = table->data.data() + at;
        if (record[0] == 0) continue;  // a free slot
        // Private key at 50, public key at 52, low byte first.
        for (const size_t field : {size_t{50}, size_t{52}}) {
            if ((record[field] | record[field + 1] << 8) == fid) return true;
        }
    }
    return false;
}

Answer CardEngine::VerifyCertificate(const Apdu& apdu) {
    if ((apdu.p1 & 0x80) == 0) {
        const auto list = ParseTlv(apdu.data);
        if (!list) return Status(sw::kWrongData);
        const auto issuer = FileId(*list, 0xCC);
        if (!issuer || !CertificateFileOfC(*list)) return Status(sw::kWrongData);
        certFiles_ = Concat(apdu.data, {});
        chain_.Clear();
        return Ok();
    }
    if (!certFiles_) return Status(sw::kConditions);
    if (chain_.ins != apdu.ins) {
        chain_.Clear();
        chain_.ins = apdu.ins;
    }
    chain_.buffer.insert(chain_.buffer.end(), apdu.data.begin(), apdu.data.end());
    // The C1 header tells when the certificate is complete.
    if (chain_.buffer.size() < 4) return Ok();
    if (chain_.buffer[0] != 0xC1 || chain_.buffer[1] != 0x82) return Status(sw::kWrongData);
    const size_t total = 4 + Be16(chain_.buffer.data() + 2);
    if (chain_.buffer.size() < total) return Ok();
    const Bytes certificate(chain_.buffer.begin() + 4,
                            chain_.buffer.begin() + static_cast<std::ptrdiff_t>(total));
    chain_.Clear();
    const auto files = ParseTlv(*certFiles_);
    certFiles_.reset();
    const uint16_t issuer = *FileId(*files, 0xCC);
    // Stored into C's certificate file, under that file's own write rule,
    // and never over a container's key (CD names A's public key).
    const uint16_t store = *CertificateFileOfC(*files);
    const CardFile* issuerFile = SealFile(issuer);
    if (issuerFile == nullptr) return Status(sw::kNotFound);
    if (!CertificateSignedBy(certificate, issuerFile->data)) return Status(sw::kWrongData);
    if (store == 0) return Ok();
    if (IsKeyFile(store)) return Status(sw::kConditions);
    const CardFile* target = SealFile(store);
    if (!Allowed(target != nullptr ? target->write : Access::Pin)) return Status(sw::kSecurity);
    WriteSealFile(store, certificate, Access::Always, Access::Pin);
    return Ok();
}

}  // namespace vcard
