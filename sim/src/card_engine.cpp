#include "card_engine.h"

#include <algorithm>

namespace vcard {

CardEngine::CardEngine(CardImage image, const Options& options)
    : image_(std::move(image)), options_(options) {
    PowerOn();
}

void CardEngine::PowerOn() {
    // The seal application is the default one: commands that come without a
    // SELECT (the seal data loading, the key commands) find it current.
    df_ = CurrentDf::Seal;
    ef_.reset();
    sessionKeys_.clear();
    ClearSecurity();
}

void CardEngine::ClearSecurity() {
    pinVerified_ = false;
    externalAuthenticated_ = false;
    challenge_.clear();
    sealData_.clear();
    chain_.Clear();
    export_.reset();
    certFiles_.reset();
    token_.reset();
}

bool CardEngine::Allowed(Access access) const {
    switch (access) {
        case Access::Always:
            return true;
        case Access::Pin:
            return pinVerified_;
        case Access::External:
            return externalAuthenticated_;
        case Access::Secure:
        case Access::Never:
            return false;
    }
    return false;
}

CardFile* CardEngine::SealFile(uint16_t id) {
    const auto it = image_.sealFiles.find(id);
    return it == image_.sealFiles.end() ? nullptr : &it->second;
}

void CardEngine::WriteSealFile(uint16_t id, Bytes data, Access read, Access write) {
    const auto [it, created] = image_.sealFiles.try_emplace(id);
    if (created) {
        it->second.read = read;
        it->second.write = write;
    }
    it->second.data = std::move(data);
    modified_ = true;
}

Bytes CardEngine::TakeChallenge() {
    Bytes challenge;
    challenge.swap(challenge_);
    return challenge;
}

std::optional<uint16_t> CardEngine::CheckMac(const Apdu& apdu, Bytes& data) {
    const Bytes challenge = TakeChallenge();
    if (challenge.empty()) return sw::kConditions;
    if (apdu.data.size() < 4) return sw::kWrongLength;
    data.assign(apdu.data.begin(), apdu.data.end() - 4);
    Bytes command(5 + data.size());
    command[0] = apdu.cla;
    command[1] = apdu.ins;
    command[2] = apdu.p1;
    command[3] = apdu.p2;
    command[4] = static_cast<uint8_t>(apdu.data.size());
    std::copy(data.begin(), data.end(), command.begin() + 5);
    const Bytes expected = SecureMac(image_.macKey, challenge, command);
    if (!std::equal(expected.begin(), expected.end(), apdu.data.end() - 4)) return sw::kSmBadMac;
    return std::nullopt;
}

Bytes SecureMac(const Bytes& macKey, const Bytes& challenge, const Bytes& command) {
    Bytes iv = challenge;
    iv.resize(16, 0x00);
    const Bytes mac = CbcMac(Cipher::Sm4, macKey, iv, PadIso(command, 16));
    return Bytes(mac.begin(), mac.begin() + 4);
}

Bytes SecureDecrypt(const Bytes& encKey, const Bytes& cryptogram) {
    if (cryptogram.empty() || cryptogram.size() % 16 != 0) throw CryptoError("cryptogram length");
    Bytes plain = BlockCipher(Cipher::Sm4, encKey, {}, cryptogram, false);
    if (!UnpadIso(plain)) throw CryptoError("cryptogram padding");
    return plain;
}

Bytes PackPin(const std::string& pin) {
    std::string text = pin;
    if (text.size() % 2 != 0) text.push_back('F');
    return FromHex(text);
}

std::string UnpackPin(const Bytes& block) {
    std::string text = ToHex(block);
    if (!text.empty() && text.back() == 'F') text.pop_back();
    return text;
}

Answer CardEngine::Process(const Apdu& apdu) {
    const uint8_t cla = apdu.cla;
    if (cla != 0x00 && cla != 0x04 && cla != 0x80 && cla != 0x84) return Status(sw::kBadCla);
    const bool iso = cla == 0x00 || cla == 0x04;
    try {
        if (iso) {
            switch (apdu.ins) {
                case 0xA4:
                    return Select(apdu);
                case 0xB0:
                    return ReadBinary(apdu);
                case 0xD6:
                    return UpdateBinary(apdu);
                case 0x84:
                    return GetChallenge(apdu);
                case 0x20:
                    return Verify(apdu);
                case 0x82:
                    return ExternalAuthenticate(apdu);
                case 0x88:
                    return InternalAuthenticate(apdu);
                case 0xB2:
                    return ReadRecord(apdu);
                case 0x4A:
                    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
                    ClearSecurity();
                    return Ok();
                case 0xC0:
                    return Status(sw::kConditions);  // nothing pending
                default:
                    break;
            }
            return Status(sw::kBadIns);
        }
        switch (apdu.ins) {
            case 0x5E:
                return ChangeOrReload(apdu);
            case 0xCC:
                return SealWrite(apdu);
            case 0xCD:
                return SealSign(apdu);
            case 0x42:
                return GenerateRsa(apdu);
            case 0x40:
                return GenerateSm2(apdu);
            case 0x46:
            case 0x48:
                return RsaCalc(apdu);
            case 0x4C:
            case 0x4E:
                return Sm2Calc(apdu);
            case 0xC9:
                return ExportPublicKey(apdu);
            case 0xC6:
                return WriteRsaKey(apdu);
            case 0xC2:
                return WriteSm2Key(apdu);
            case 0xC8:
                return VerifyCertificate(apdu);
            case 0x4A:
                return ImportSessionKey(apdu);
            case 0xD8:
                return ExportKey(apdu);
            case 0xFA:
                return CipherCommand(apdu);
            case 0xC4:
                return CardHash(apdu);
            case 0x1A:
                return DeliveryKey(apdu);
            case 0x2A:
                return GenerateToken(apdu);
            case 0x3A:
                return GenerateSessionKey(apdu);
            default:
                break;
        }
        return Status(sw::kBadIns);
    } catch (const std::runtime_error&) {
        // Key material, pictures or input the card cannot use.
        return Status(sw::kWrongData);
    }
}

}  // namespace vcard
