// The module over the fake PC/SC service, with a virtual key in one reader.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "fake_pcsc/fake_card.h"
#include "support/service_fixture.h"
#include "vcard/seal_card.h"

namespace qav::p11::test {

using Bytes = std::vector<uint8_t>;

inline constexpr char kReader[] = "ADM Virtual Seal 00 00";

class KeyCard final : public fake::FakeCard {
public:
    explicit KeyCard(std::unique_ptr<vcard::SealCard> key) : key_(std::move(key)) {}
    fake::Bytes Atr() const override { return key_->Atr(); }
    fake::Bytes Transmit(const fake::Bytes& command) override { return key_->Transmit(command); }
    void Reset() override { key_->Reset(); }
    vcard::SealCard& Key() const { return *key_; }

private:
    const std::unique_ptr<vcard::SealCard> key_;
};

class ModuleTest : public qav::test::ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    static const std::string& DefaultImage();
    void InsertKey();

    CK_SLOT_ID Slot();
    CK_SESSION_HANDLE Open(CK_FLAGS flags = CKF_SERIAL_SESSION);
    CK_RV Login(CK_SESSION_HANDLE session, const std::string& pin = "12345678");
    // The objects of one class with this label (a private key needs the login).
    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                                       const std::string& label);
    Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    CK_RV Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key,
               const Bytes& data, Bytes* signature);
    size_t CardCommands() const { return pcsc.SentCommands().size(); }

    CK_FUNCTION_LIST_PTR p11 = nullptr;
    std::shared_ptr<KeyCard> key;
    bool initialized = false;
};

// OpenSSL's verdict on a signature by the certificate's key.
bool VerifiesRsa(const Bytes& certificate, const char* digest, const Bytes& data,
                 const Bytes& signature);
bool VerifiesSm2(const Bytes& certificate, const Bytes& data, const Bytes& signature);

}  // namespace qav::p11::test
