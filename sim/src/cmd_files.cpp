// SELECT, READ BINARY, UPDATE BINARY, GET CHALLENGE and the payment
// application's READ RECORD.
#include <algorithm>
#include <string>

#include "card_engine.h"
#include "tlv.h"

namespace vcard {
namespace {

const Bytes kSealAid{0xA0, 0x00, 0x00, 0x04, 'S', 'K', 'M', 'P'};
// Every position P1P2 can name.
constexpr size_t kMaxFileSize = 0x10000;

Bytes Name(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes FileControl(uint16_t id, size_t size, bool folder) {
    Bytes inner;
    Bytes sizeBytes;
    PutBe16(sizeBytes, static_cast<unsigned>(size));
    AppendTlv(inner, 0x80, sizeBytes);
    AppendTlv(inner, 0x82, Bytes{static_cast<uint8_t>(folder ? 0x38 : 0x01)});
    Bytes idBytes;
    PutBe16(idBytes, id);
    AppendTlv(inner, 0x83, idBytes);
    Bytes out;
    AppendTlv(out, 0x62, inner);
    return out;
}

Bytes ApplicationControl(const Bytes& aid, const Bytes& proprietary) {
    Bytes inner;
    AppendTlv(inner, 0xA5, proprietary);
    AppendTlv(inner, 0x84, aid);
    Bytes out;
    AppendTlv(out, 0x6F, inner);
    return out;
}

}  // namespace

Answer CardEngine::Select(const Apdu& apdu) {
    if (apdu.p2 != 0x00 && apdu.p2 != 0x0C) return Status(sw::kWrongP1P2);
    if (apdu.p1 == 0x04) return SelectByName(apdu);
    if (apdu.p1 != 0x00 && apdu.p1 != 0x02) return Status(sw::kWrongP1P2);
    if (apdu.data.size() != 2) return Status(sw::kWrongLength);
    const uint16_t id = Be16(apdu.data.data());
    const bool wantControl = apdu.p2 == 0x00;
    if (id == fid::kMf && apdu.p1 == 0x00) {
        df_ = CurrentDf::Mf;
        ef_.reset();
        return Ok(wantControl ? FileControl(id, 0, true) : Bytes{});
    }
    std::map<uint16_t, CardFile>* files = nullptr;
    if (df_ == CurrentDf::Mf) files = &image_.mfFiles;
    if (df_ == CurrentDf::Seal && !options_.failProbe) files = &image_.sealFiles;
    if (files == nullptr) return Status(sw::kNotFound);
    const auto it = files->find(id);
    if (it == files->end()) return Status(sw::kNotFound);
    ef_ = id;
    return Ok(wantControl ? FileControl(id, it->second.data.size(), false) : Bytes{});
}

Answer CardEngine::SelectByName(const Apdu& apdu) {
    const bool wantControl = apdu.p2 == 0x00;
    if (apdu.data == kSealAid) {
        if (options_.failProbe) return Status(sw::kNotFound);
        df_ = CurrentDf::Seal;
        ef_.reset();
        // Selecting the application by name starts a fresh session.
        ClearSecurity();
        return Ok(wantControl ? ApplicationControl(kSealAid, Bytes{0x97, 0x01, image_.ability})
                              : Bytes{});
    }
    const bool directory =
        apdu.data == Name("1PAY.SYS.DDF01") || apdu.data == Name("2PAY.SYS.DDF01");
    size_t application = image_.paymentAids.size();
    for (size_t i = 0; i < image_.paymentAids.size(); ++i) {
        if (apdu.data == image_.paymentAids[i]) application = i;
    }
    if (!directory && application == image_.paymentAids.size()) return Status(sw::kNotFound);
    if (image_.paymentAids.empty()) return Status(sw::kNotFound);
    if (options_.paymentNeedsLe && !apdu.hasLe) return Status(sw::kWrongLength);
    ef_.reset();
    if (directory) {
        df_ = CurrentDf::PaymentDirectory;
        return Ok(ApplicationControl(apdu.data, Bytes{0x88, 0x01, 0x01}));
    }
    df_ = CurrentDf::PaymentApplication;
    return Ok(ApplicationControl(
        apdu.data, Bytes{0x50, 0x04, 'P', 'A', 'Y', static_cast<uint8_t>('1' + application)}));
}

Answer CardEngine::ReadBinary(const Apdu& apdu) {
    if (!ef_) return Status(sw::kNoCurrentEf);
    const CardFile& file = (df_ == CurrentDf::Mf ? image_.mfFiles : image_.sealFiles).at(*ef_);
    if (!Allowed(file.read)) return Status(sw::kSecurity);
    const size_t offset = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
    if (offset >= file.data.size()) return Status(sw::kWrongOffset);
    const size_t wanted = apdu.hasLe ? apdu.le : 256;
    const size_t count = std::min(wanted, file.data.size() - offset);
    const auto begin = file.data.begin() + static_cast<std::ptrdiff_t>(offset);
    return Ok(Bytes(begin, begin + static_cast<std::ptrdiff_t>(count)));
}

Answer CardEngine::UpdateBinary(const Apdu& apdu) {
    if (!ef_) return Status(sw::kNoCurrentEf);
    CardFile& file = (df_ == CurrentDf::Mf ? image_.mfFiles : image_.sealFiles).at(*ef_);
    Bytes piece;
    if (apdu.cla == 0x04) {
        Bytes cryptogram;
        if (const auto failure = CheckMac(apdu, cryptogram)) return Status(*failure);
        if (file.write == Access::Never) return Status(sw::kSecurity);
        Bytes plain;
        try {
            plain = SecureDecrypt(image_.encKey, cryptogram);
        } catch (const CryptoError&) {
            return Status(sw::kSmBadMac);
        }
        if (plain.empty() || plain[0] != plain.size() - 1) return Status(sw::kWrongData);
        piece.assign(plain.begin() + 1, plain.end());
    } else {
        if (!Allowed(file.write)) return Status(sw::kSecurity);
        piece = apdu.data;
    }
    if (piece.empty()) return Status(sw::kWrongLength);
    const size_t offset = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
    if (offset > file.data.size()) return Status(sw::kWrongOffset);
    if (offset + piece.size() > kMaxFileSize) return Status(sw::kNoSpace);
    if (file.data.size() < offset + piece.size()) file.data.resize(offset + piece.size());
    std::copy(piece.begin(), piece.end(), file.data.begin() + static_cast<std::ptrdiff_t>(offset));
    modified_ = true;
    return Ok();
}

Answer CardEngine::GetChallenge(const Apdu& apdu) {
    if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
    if (!apdu.hasLe || (apdu.le != 4 && apdu.le != 8 && apdu.le != 16))
        return Status(sw::kWrongLength);
    challenge_ = RandomBytes(apdu.le);
    return Ok(challenge_);
}

Answer CardEngine::ReadRecord(const Apdu& apdu) {
    if (df_ != CurrentDf::PaymentApplication) return Status(sw::kConditions);
    if (apdu.p2 != 0x0C) return Status(sw::kWrongP1P2);
    if (apdu.p1 != 0x01) return Status(sw::kRecordNotFound);
    Bytes inner;
    AppendTlv(inner, 0x57, image_.track2);
    Bytes record;
    AppendTlv(record, 0x70, inner);
    // Like the payment cards it stands for: the exact length must be asked for.
    if (!apdu.hasLe || apdu.le != record.size()) {
        return Status(static_cast<uint16_t>(0x6C00 | (record.size() & 0xFF)));
    }
    return Ok(record);
}

}  // namespace vcard
