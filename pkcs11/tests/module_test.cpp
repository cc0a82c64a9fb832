// Whole call sequences through the function list, over the fake PC/SC
// service with the virtual key in its reader.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "module_fixture.h"
#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11::test {
namespace {

const Bytes kData{'s', 'e', 'a', 'l', ' ', 'm', 'e'};

std::string Trimmed(const CK_UTF8CHAR* field, size_t size) {
    std::string text(reinterpret_cast<const char*>(field), size);
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

using ModuleLifecycle = ModuleTest;

TEST_F(ModuleLifecycle, InitializeOnceAndNothingBeforeIt) {
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    initialized = false;
    CK_INFO info;
    CK_ULONG count = 0;
    CK_SESSION_INFO sessionInfo;
    EXPECT_EQ(p11->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_GetSessionInfo(1, &sessionInfo), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

    int reserved = 0;
    CK_C_INITIALIZE_ARGS args{};
    args.pReserved = &reserved;
    EXPECT_EQ(p11->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args.pReserved = nullptr;
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(p11->C_Initialize(&args), CKR_OK);
    initialized = true;
    EXPECT_EQ(p11->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
}

TEST_F(ModuleLifecycle, InterfacesListThreeZeroFirst) {
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetInterfaceList(nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    CK_INTERFACE list[2];
    CK_ULONG small = 1;
    EXPECT_EQ(C_GetInterfaceList(list, &small), CKR_BUFFER_TOO_SMALL);
    ASSERT_EQ(C_GetInterfaceList(list, &count), CKR_OK);
    for (const CK_INTERFACE& i : list) {
        EXPECT_STREQ(reinterpret_cast<const char*>(i.pInterfaceName), "PKCS 11");
    }
    EXPECT_EQ(static_cast<CK_VERSION*>(list[0].pFunctionList)->major, 3);
    EXPECT_EQ(list[1].pFunctionList, p11);
    CK_INTERFACE_PTR found = nullptr;
    ASSERT_EQ(C_GetInterface(nullptr, nullptr, &found, 0), CKR_OK);
    EXPECT_EQ(found->pFunctionList, list[0].pFunctionList);
    CK_VERSION v240{2, 40};
    ASSERT_EQ(C_GetInterface(nullptr, &v240, &found, 0), CKR_OK);
    EXPECT_EQ(found->pFunctionList, p11);
    // The 3.0 list's first entries are the 2.40 functions.
    const auto* v30 = static_cast<CK_FUNCTION_LIST_3_0*>(list[0].pFunctionList);
    EXPECT_EQ(v30->C_Sign, p11->C_Sign);
    EXPECT_EQ(v30->C_WaitForSlotEvent, p11->C_WaitForSlotEvent);
    EXPECT_EQ(v30->C_SessionCancel(1, 0), CKR_FUNCTION_NOT_SUPPORTED);
}

using ModuleSlots = ModuleTest;

TEST_F(ModuleSlots, TokenFromTheReaderAndTheKeysCertificates) {
    const CK_SLOT_ID slot = Slot();
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(p11->C_GetSlotInfo(slot, &slotInfo), CKR_OK);
    EXPECT_EQ(Trimmed(slotInfo.slotDescription, 64), kReader);
    EXPECT_NE(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);

    CK_TOKEN_INFO info;
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(Trimmed(info.label, 32), kReader);
    const std::string serial = Trimmed(info.serialNumber, 16);
    EXPECT_EQ(serial.size(), 16u);
    EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    const CK_FLAGS wanted = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                            CKF_RNG | CKF_WRITE_PROTECTED;
    EXPECT_EQ(info.flags & wanted, wanted);
    EXPECT_EQ(info.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED), 0u);
    EXPECT_EQ(info.ulMaxSessionCount, 1024u);
    EXPECT_EQ(info.ulMinPinLen, 4u);

    CK_SLOT_INFO bad;
    EXPECT_EQ(p11->C_GetSlotInfo(slot + 100, &bad), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11->C_GetTokenInfo(slot + 100, &info), CKR_SLOT_ID_INVALID);
}

TEST_F(ModuleSlots, APulledKeyLeavesItsSlotWithoutTokenAndComesBackToIt) {
    const CK_SLOT_ID slot = Slot();
    const CK_SESSION_HANDLE session = Open();
    pcsc.RemoveCard(kReader);
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(p11->C_GetSlotInfo(slot, &slotInfo), CKR_OK);
    EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO info;
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_INFO sessionInfo;
    EXPECT_EQ(p11->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);

    InsertKey();
    EXPECT_EQ(Slot(), slot);
    EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
}

TEST_F(ModuleSlots, MechanismsOnOffer) {
    const CK_SLOT_ID slot = Slot();
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    EXPECT_GT(count, 0u);
    const struct {
        CK_MECHANISM_TYPE type;
        CK_FLAGS flags;
    } rsa[] = {{CKM_RSA_PKCS, CKF_SIGN | CKF_DECRYPT},
               {CKM_RSA_X_509, CKF_SIGN | CKF_DECRYPT},
               {CKM_RSA_PKCS_PSS, CKF_SIGN},
               {CKM_SHA384_RSA_PKCS_PSS, CKF_SIGN},
               {CKM_RSA_PKCS_OAEP, CKF_DECRYPT}};
    for (const auto& m : rsa) {
        CK_MECHANISM_INFO info;
        ASSERT_EQ(p11->C_GetMechanismInfo(slot, m.type, &info), CKR_OK) << m.type;
        EXPECT_EQ(info.flags & (CKF_SIGN | CKF_DECRYPT | CKF_ENCRYPT | CKF_VERIFY), m.flags)
            << m.type;
        EXPECT_EQ(info.ulMinKeySize, 1024u);
    }
    CK_MECHANISM_INFO info;
    EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_RSA_9796, &info), CKR_MECHANISM_INVALID);
}

TEST_F(ModuleSlots, WaitForSlotEventSeesKeysComeAndGoAndFinalizeEndsAWait) {
    const CK_SLOT_ID slot = Slot();
    CK_SLOT_ID changed = 0;
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &changed, nullptr), CKR_OK);
    EXPECT_EQ(changed, slot);  // the slot the first listing made
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &changed, nullptr), CKR_NO_EVENT);
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr), CKR_ARGUMENTS_BAD);

    // A key in a second reader gets a new slot; once the watch reported it,
    // it knows the first key too, so its leaving is seen.
    const std::string second = "ADM Virtual Seal 00 01";
    pcsc.AddReader(second);
    pcsc.InsertCard(second, std::make_shared<KeyCard>(vcard::SealCard::FromJson(DefaultImage())));
    ASSERT_EQ(p11->C_WaitForSlotEvent(0, &changed, nullptr), CKR_OK);
    EXPECT_NE(changed, slot);
    pcsc.RemoveCard(kReader);
    ASSERT_EQ(p11->C_WaitForSlotEvent(0, &changed, nullptr), CKR_OK);
    EXPECT_EQ(changed, slot);
    CK_SLOT_INFO info;
    ASSERT_EQ(p11->C_GetSlotInfo(slot, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);

    auto waiting = std::async(std::launch::async, [&] {
        CK_SLOT_ID any = 0;
        return p11->C_WaitForSlotEvent(0, &any, nullptr);
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    initialized = false;
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

using ModuleLogin = ModuleTest;

TEST_F(ModuleLogin, LoginIsTheApplicationsAndSessionInfoAsksNoCard) {
    const CK_SESSION_HANDLE first = Open();
    const CK_SESSION_HANDLE second = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    CK_SESSION_HANDLE parallel = 0;
    EXPECT_EQ(p11->C_OpenSession(Slot(), 0, nullptr, nullptr, &parallel),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    ASSERT_EQ(Login(first), CKR_OK);
    EXPECT_EQ(Login(second), CKR_USER_ALREADY_LOGGED_IN);

    const size_t before = CardCommands();
    CK_SESSION_INFO info;
    ASSERT_EQ(p11->C_GetSessionInfo(first, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    ASSERT_EQ(p11->C_GetSessionInfo(second, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(CardCommands(), before);

    ASSERT_EQ(p11->C_Logout(second), CKR_OK);
    EXPECT_EQ(p11->C_Logout(first), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(p11->C_GetSessionInfo(first, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
}

TEST_F(ModuleLogin, WrongPinCountsDownInTheTokenFlags) {
    const CK_SLOT_ID slot = Slot();
    const CK_SESSION_HANDLE session = Open();
    CK_TOKEN_INFO info;
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(Login(session, "11111111"), CKR_PIN_INCORRECT);
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    // Reading the flags spends no try.
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Login(session, "11111111"), CKR_PIN_INCORRECT);
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_FINAL_TRY, 0u);
    // The try that blocks the PIN says so.
    EXPECT_EQ(Login(session, "11111111"), CKR_PIN_LOCKED);
    ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(Login(session), CKR_PIN_LOCKED);
    EXPECT_EQ(Login(session, "12ab"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(session, "123"), CKR_PIN_LEN_RANGE);
}

// A wrong PIN from another process, before this one first meets the key:
// the tries left are compared with the card's most, not with what was seen.
TEST_F(ModuleLogin, AWrongPinBeforeTheBindIsCountLow) {
    const fake::Bytes wrong{0x00, 0x20, 0x00, 0x00, 0x04, 0x11, 0x11, 0x11, 0x11};
    ASSERT_EQ(key->Key().Transmit(wrong), (fake::Bytes{0x63, 0xC5}));
    CK_TOKEN_INFO info;
    ASSERT_EQ(p11->C_GetTokenInfo(Slot(), &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_EQ(info.flags & (CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), 0u);
    // The right PIN gives the tries back.
    EXPECT_EQ(Login(Open()), CKR_OK);
    ASSERT_EQ(p11->C_GetTokenInfo(Slot(), &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
}

TEST_F(ModuleLogin, LogoutAndTheLastCloseEndTheLoginOnTheCard) {
    // VERIFY without data: 9000 while the card holds a verified PIN.
    const fake::Bytes query{0x00, 0x20, 0x00, 0x00};
    const fake::Bytes verified{0x90, 0x00}, notVerified{0x63, 0xC6};
    const CK_SESSION_HANDLE first = Open();
    const CK_SESSION_HANDLE second = Open();
    ASSERT_EQ(Login(first), CKR_OK);
    EXPECT_EQ(key->Key().Transmit(query), verified);
    ASSERT_EQ(p11->C_Logout(first), CKR_OK);
    EXPECT_EQ(key->Key().Transmit(query), notVerified);

    ASSERT_EQ(Login(first), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(first), CKR_OK);
    EXPECT_EQ(key->Key().Transmit(query), verified);  // the second session keeps it
    ASSERT_EQ(p11->C_CloseSession(second), CKR_OK);
    EXPECT_EQ(key->Key().Transmit(query), notVerified);

    const CK_SESSION_HANDLE third = Open();
    ASSERT_EQ(Login(third), CKR_OK);
    ASSERT_EQ(p11->C_CloseAllSessions(Slot()), CKR_OK);
    EXPECT_EQ(key->Key().Transmit(query), notVerified);
    EXPECT_EQ(p11->C_CloseSession(third), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(ModuleLogin, ACardThatDroppedThePinMeansNotLoggedIn) {
    const CK_SESSION_HANDLE session = Open();
    ASSERT_EQ(Login(session), CKR_OK);
    const auto keys = Find(session, CKO_PRIVATE_KEY, "QAV-RSA1024");
    ASSERT_EQ(keys.size(), 1u);
    key->Key().Reset();  // another application reset the card
    Bytes signature;
    EXPECT_EQ(Sign(session, CKM_SHA256_RSA_PKCS, keys[0], kData, &signature),
              CKR_USER_NOT_LOGGED_IN);
    CK_SESSION_INFO info;
    ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(Login(session), CKR_OK);
    EXPECT_EQ(Sign(session, CKM_SHA256_RSA_PKCS, keys[0], kData, &signature), CKR_OK);
}

TEST_F(ModuleLogin, SetPinChangesItAndBack) {
    const CK_SESSION_HANDLE session = Open(CKF_SERIAL_SESSION | CKF_RW_SESSION);
    std::string oldPin = "12345678", newPin = "87654321";
    auto set = [&](std::string& from, std::string& to) {
        return p11->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(from.data()), from.size(),
                             reinterpret_cast<CK_UTF8CHAR_PTR>(to.data()), to.size());
    };
    ASSERT_EQ(set(oldPin, newPin), CKR_OK);
    EXPECT_EQ(Login(session), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(session, newPin), CKR_OK);
    ASSERT_EQ(set(newPin, oldPin), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_EQ(Login(session), CKR_OK);
    std::string bad = "12x45678";
    EXPECT_EQ(set(oldPin, bad), CKR_PIN_INVALID);
}

using ModuleObjects = ModuleTest;

// The virtual key's two pictures, public, read once at the bind.
TEST_F(ModuleObjects, SealPicturesAreDataObjects) {
    const CK_SESSION_HANDLE session = Open();
    CK_OBJECT_CLASS data = CKO_DATA;
    std::string application = QAV_SEAL_PICTURE_APPLICATION;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data},
                           {CKA_APPLICATION, application.data(), application.size()}};
    ASSERT_EQ(p11->C_FindObjectsInit(session, tmpl, 2), CKR_OK);
    CK_OBJECT_HANDLE found[8];
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_FindObjects(session, found, 8, &count), CKR_OK);
    ASSERT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    ASSERT_EQ(count, 2u);
    const size_t before = CardCommands();
    const Bytes pngMagic{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes values[2];
    for (int i = 0; i < 2; ++i) {
        const Bytes label = Attribute(session, found[i], CKA_LABEL);
        EXPECT_EQ(std::string(label.begin(), label.end()), "Seal picture " + std::to_string(i + 1));
        values[i] = Attribute(session, found[i], CKA_VALUE);
        ASSERT_GT(values[i].size(), pngMagic.size());
        EXPECT_TRUE(std::equal(pngMagic.begin(), pngMagic.end(), values[i].begin()));
        EXPECT_EQ(Attribute(session, found[i], CKA_PRIVATE), Bytes{CK_FALSE});
        // No ID: nothing pairs a picture with a key.
        CK_ATTRIBUTE id{CKA_ID, nullptr, 0};
        EXPECT_EQ(p11->C_GetAttributeValue(session, found[i], &id, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    }
    EXPECT_NE(values[0], values[1]);
    EXPECT_EQ(CardCommands(), before);
    // By label, as pkcs11-tool looks for one.
    EXPECT_EQ(Find(session, CKO_DATA, "Seal picture 2"), std::vector<CK_OBJECT_HANDLE>{found[1]});
}

TEST_F(ModuleObjects, ObjectsAnswerFromMemoryAndPrivateKeysNeedTheLogin) {
    const CK_SESSION_HANDLE session = Open();
    const auto certs = Find(session, CKO_CERTIFICATE, "QAV-SM2-Seal");
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_TRUE(Find(session, CKO_PRIVATE_KEY, "QAV-SM2-Seal").empty());
    const size_t before = CardCommands();
    CK_ULONG count = 0;
    CK_OBJECT_HANDLE all[32];
    ASSERT_EQ(p11->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsInit(session, nullptr, 0), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(p11->C_FindObjects(session, all, 32, &count), CKR_OK);
    ASSERT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    EXPECT_EQ(count, 8u);  // three certificates and public keys, two seal pictures
    const Bytes value = Attribute(session, certs[0], CKA_VALUE);
    EXPECT_EQ(value.at(0), 0x30);
    EXPECT_EQ(CardCommands(), before);

    ASSERT_EQ(Login(session), CKR_OK);
    const auto priv = Find(session, CKO_PRIVATE_KEY, "QAV-SM2-Seal");
    ASSERT_EQ(priv.size(), 1u);
    EXPECT_EQ(Attribute(session, priv[0], CKA_ID), Attribute(session, certs[0], CKA_ID));
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    CK_ATTRIBUTE a{CKA_ID, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(session, priv[0], &a, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(p11->C_GetAttributeValue(session, 9999, &a, 1), CKR_OBJECT_HANDLE_INVALID);

    // Handles stay the same for the token's life, in every session.
    const CK_SESSION_HANDLE other = Open();
    EXPECT_EQ(Find(other, CKO_CERTIFICATE, "QAV-SM2-Seal"), certs);
    CK_OBJECT_HANDLE created = 0;
    EXPECT_EQ(p11->C_CreateObject(other, &a, 1, &created), CKR_TOKEN_WRITE_PROTECTED);
    EXPECT_EQ(p11->C_DestroyObject(other, certs[0]), CKR_TOKEN_WRITE_PROTECTED);
}

using ModuleCrypto = ModuleTest;

TEST_F(ModuleCrypto, Sm2SignaturesVerifyWithTheDefaultIdentifier) {
    const CK_SESSION_HANDLE session = Open();
    const Bytes cert =
        Attribute(session, Find(session, CKO_CERTIFICATE, "QAV-SM2-Seal").at(0), CKA_VALUE);
    ASSERT_EQ(Login(session), CKR_OK);
    const auto keys = Find(session, CKO_PRIVATE_KEY, "QAV-SM2-Seal");
    ASSERT_EQ(keys.size(), 1u);
    Bytes signature;
    ASSERT_EQ(Sign(session, CKM_QAV_SM2_SM3, keys[0], kData, &signature), CKR_OK);
    EXPECT_EQ(signature.size(), 64u);
    EXPECT_TRUE(VerifiesSm2(cert, kData, signature));

    EXPECT_EQ(Sign(session, CKM_QAV_SM2, keys[0], kData, &signature), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(Sign(session, CKM_QAV_SM2, keys[0], Bytes(32, 0x5A), &signature), CKR_OK);
    EXPECT_EQ(signature.size(), 64u);
    EXPECT_EQ(Sign(session, CKM_SHA256_RSA_PKCS, keys[0], kData, &signature),
              CKR_KEY_TYPE_INCONSISTENT);
}

TEST_F(ModuleCrypto, DigestsRandomAndTheRest) {
    const CK_SESSION_HANDLE session = Open();
    CK_MECHANISM m{CKM_QAV_SM3, nullptr, 0};
    ASSERT_EQ(p11->C_DigestInit(session, &m), CKR_OK);
    Bytes abc{'a', 'b', 'c'};
    Bytes digest(32);
    CK_ULONG length = digest.size();
    ASSERT_EQ(p11->C_Digest(session, abc.data(), abc.size(), digest.data(), &length), CKR_OK);
    EXPECT_EQ(digest.at(0), 0x66);
    EXPECT_EQ(digest.at(31), 0xE0);
    CK_MECHANISM bad{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11->C_DigestInit(session, &bad), CKR_MECHANISM_INVALID);

    Bytes random(40);
    ASSERT_EQ(p11->C_GenerateRandom(session, random.data(), random.size()), CKR_OK);
    EXPECT_NE(random, Bytes(40));
    EXPECT_EQ(p11->C_SeedRandom(session, random.data(), 4), CKR_RANDOM_SEED_NOT_SUPPORTED);
    CK_MECHANISM enc{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11->C_EncryptInit(session, &enc, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(p11->C_EncryptInit(session + 100, &enc, 1), CKR_SESSION_HANDLE_INVALID);
}

// The certificate's public key, for OpenSSL's side of the RSA mechanisms.
class CertKey {
public:
    explicit CertKey(const Bytes& der) {
        const unsigned char* p = der.data();
        cert_ = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    }
    ~CertKey() { X509_free(cert_); }
    CertKey(const CertKey&) = delete;
    CertKey& operator=(const CertKey&) = delete;

    // Public operation with this padding; OAEP with this hash and label.
    Bytes Encrypt(const Bytes& data, int padding = RSA_NO_PADDING, const EVP_MD* oaep = nullptr,
                  const Bytes& label = {}) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert_), nullptr);
        EXPECT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, padding), 1);
        if (oaep != nullptr) {
            EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx, oaep), 1);
            EXPECT_EQ(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, oaep), 1);
            if (!label.empty()) {
                EXPECT_EQ(EVP_PKEY_CTX_set0_rsa_oaep_label(
                              ctx, OPENSSL_memdup(label.data(), label.size()),
                              static_cast<int>(label.size())),
                          1);
            }
        }
        Bytes out(256);
        size_t length = out.size();
        EXPECT_EQ(EVP_PKEY_encrypt(ctx, out.data(), &length, data.data(), data.size()), 1);
        EVP_PKEY_CTX_free(ctx);
        out.resize(length);
        return out;
    }

    bool VerifiesPss(const EVP_MD* md, int saltLength, const Bytes& data,
                     const Bytes& signature) const {
        EVP_MD_CTX* mdCtx = EVP_MD_CTX_new();
        EVP_PKEY_CTX* ctx = nullptr;
        const bool ok =
            EVP_DigestVerifyInit(mdCtx, &ctx, md, nullptr, X509_get0_pubkey(cert_)) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, saltLength) == 1 &&
            EVP_DigestVerify(mdCtx, signature.data(), signature.size(), data.data(), data.size()) ==
                1;
        EVP_MD_CTX_free(mdCtx);
        return ok;
    }

private:
    X509* cert_ = nullptr;
};

// A session logged in, the RSA-1024 container's private key and certificate.
class ModuleRsa : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        session = Open();
        const auto certs = Find(session, CKO_CERTIFICATE, "QAV-RSA1024");
        ASSERT_EQ(certs.size(), 1u);
        certificate = Attribute(session, certs[0], CKA_VALUE);
        cert = std::make_unique<CertKey>(certificate);
        ASSERT_EQ(Login(session), CKR_OK);
        const auto keys = Find(session, CKO_PRIVATE_KEY, "QAV-RSA1024");
        ASSERT_EQ(keys.size(), 1u);
        priv = keys[0];
    }

    CK_RV SignWith(CK_MECHANISM m, const Bytes& data, Bytes* signature) {
        if (const CK_RV rv = p11->C_SignInit(session, &m, priv)) return rv;
        Bytes input = data;
        signature->resize(128);
        CK_ULONG length = signature->size();
        const CK_RV rv =
            p11->C_Sign(session, input.data(), input.size(), signature->data(), &length);
        signature->resize(length);
        return rv;
    }

    CK_RV DecryptWith(CK_MECHANISM m, const Bytes& data, Bytes* plain) {
        if (const CK_RV rv = p11->C_DecryptInit(session, &m, priv)) return rv;
        Bytes input = data;
        plain->resize(128);
        CK_ULONG length = plain->size();
        const CK_RV rv =
            p11->C_Decrypt(session, input.data(), input.size(), plain->data(), &length);
        plain->resize(length);
        return rv;
    }

    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE priv = 0;
    Bytes certificate;
    std::unique_ptr<CertKey> cert;
};

TEST_F(ModuleRsa, Pkcs1SignaturesVerifyAgainstTheCertificate) {
    const struct {
        CK_MECHANISM_TYPE mechanism;
        const char* digest;
    } cases[] = {{CKM_SHA1_RSA_PKCS, "SHA1"},
                 {CKM_SHA224_RSA_PKCS, "SHA224"},
                 {CKM_SHA256_RSA_PKCS, "SHA256"},
                 {CKM_SHA384_RSA_PKCS, "SHA384"},
                 {CKM_SHA512_RSA_PKCS, "SHA512"}};
    for (const auto& c : cases) {
        Bytes signature;
        ASSERT_EQ(Sign(session, c.mechanism, priv, kData, &signature), CKR_OK) << c.digest;
        EXPECT_EQ(signature.size(), 128u);
        EXPECT_TRUE(VerifiesRsa(certificate, c.digest, kData, signature)) << c.digest;
    }

    // Multi-part gives the same signature (PKCS #1 v1.5 is deterministic).
    Bytes whole;
    ASSERT_EQ(Sign(session, CKM_SHA256_RSA_PKCS, priv, kData, &whole), CKR_OK);
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &m, priv), CKR_OK);
    EXPECT_EQ(p11->C_SignInit(session, &m, priv), CKR_OPERATION_ACTIVE);
    Bytes data = kData;
    ASSERT_EQ(p11->C_SignUpdate(session, data.data(), 3), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(session, data.data() + 3, data.size() - 3), CKR_OK);
    Bytes parts(16);
    CK_ULONG length = parts.size();
    ASSERT_EQ(p11->C_SignFinal(session, parts.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 128u);
    parts.resize(length);
    ASSERT_EQ(p11->C_SignFinal(session, parts.data(), &length), CKR_OK);
    EXPECT_EQ(parts, whole);
    EXPECT_EQ(p11->C_SignFinal(session, parts.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

    // Wrong mechanisms and keys.
    Bytes signature;
    EXPECT_EQ(Sign(session, CKM_QAV_SM2, priv, kData, &signature), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(Sign(session, CKM_SHA256, priv, kData, &signature), CKR_MECHANISM_INVALID);
    EXPECT_EQ(Sign(session, CKM_RSA_PKCS, priv, Bytes(118, 1), &signature), CKR_DATA_LEN_RANGE);
}

TEST_F(ModuleRsa, Pkcs1DecryptsWhatTheCertificatesKeyEncrypted) {
    const Bytes secret{'k', 'e', 'y'};
    Bytes encrypted = cert->Encrypt(secret, RSA_PKCS1_PADDING);
    ASSERT_EQ(encrypted.size(), 128u);
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_DecryptInit(session, &m, priv), CKR_OK);
    CK_ULONG length = 0;
    ASSERT_EQ(p11->C_Decrypt(session, encrypted.data(), encrypted.size(), nullptr, &length),
              CKR_OK);
    EXPECT_EQ(length, 128u);
    Bytes tiny(2);
    length = tiny.size();
    ASSERT_EQ(p11->C_Decrypt(session, encrypted.data(), encrypted.size(), tiny.data(), &length),
              CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 3u);
    Bytes plain(length);
    ASSERT_EQ(p11->C_Decrypt(session, encrypted.data(), encrypted.size(), plain.data(), &length),
              CKR_OK);
    EXPECT_EQ(plain, secret);

    ASSERT_EQ(p11->C_DecryptInit(session, &m, priv), CKR_OK);
    EXPECT_EQ(p11->C_Decrypt(session, encrypted.data(), 127, plain.data(), &length),
              CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST_F(ModuleRsa, PssSignaturesVerifyWithFreshSaltSingleAndMultiPart) {
    CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, 32};
    const CK_MECHANISM sha256Pss{CKM_SHA256_RSA_PKCS_PSS, &params, sizeof params};
    Bytes first;
    ASSERT_EQ(SignWith(sha256Pss, kData, &first), CKR_OK);
    ASSERT_EQ(first.size(), 128u);
    EXPECT_TRUE(cert->VerifiesPss(EVP_sha256(), 32, kData, first));

    Bytes data = kData;
    CK_MECHANISM m = sha256Pss;
    ASSERT_EQ(p11->C_SignInit(session, &m, priv), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(session, data.data(), 2), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(session, data.data() + 2, data.size() - 2), CKR_OK);
    Bytes second(128);
    CK_ULONG length = second.size();
    ASSERT_EQ(p11->C_SignFinal(session, second.data(), &length), CKR_OK);
    EXPECT_TRUE(cert->VerifiesPss(EVP_sha256(), 32, kData, second));
    // A random salt: the same data never signs the same way twice.
    EXPECT_NE(first, second);

    // A hash the caller made; the largest salt SHA-1 leaves in 128 bytes.
    Bytes hash(20);
    unsigned int hashLength = 0;
    ASSERT_EQ(EVP_Digest(kData.data(), kData.size(), hash.data(), &hashLength, EVP_sha1(), nullptr),
              1);
    params = {CKM_SHA_1, CKG_MGF1_SHA1, 128 - 20 - 2};
    Bytes third;
    ASSERT_EQ(SignWith({CKM_RSA_PKCS_PSS, &params, sizeof params}, hash, &third), CKR_OK);
    EXPECT_TRUE(cert->VerifiesPss(EVP_sha1(), 128 - 20 - 2, kData, third));
    EXPECT_EQ(SignWith({CKM_RSA_PKCS_PSS, &params, sizeof params}, Bytes(21, 1), &third),
              CKR_DATA_LEN_RANGE);
}

TEST_F(ModuleRsa, PssAndOaepParametersAreChecked) {
    Bytes out;
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 128 - 32 - 2};
    EXPECT_EQ(SignWith({CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}, kData, &out), CKR_OK);
    const struct {
        CK_MECHANISM_TYPE mechanism;
        CK_RSA_PKCS_PSS_PARAMS params;
        CK_ULONG size;
    } badPss[] = {
        {CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 128 - 32 - 1}, sizeof pss},
        {CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA_1, CKG_MGF1_SHA1, 20}, sizeof pss},
        {CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA1, 32}, sizeof pss},
        {CKM_RSA_PKCS_PSS, {CKM_QAV_SM3, CKG_MGF1_SHA256, 32}, sizeof pss},
        {CKM_RSA_PKCS_PSS, {CKM_SHA256, 0x77, 32}, sizeof pss},
        {CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 32}, sizeof pss - 1},
    };
    for (const auto& c : badPss) {
        CK_RSA_PKCS_PSS_PARAMS params = c.params;
        CK_MECHANISM m{c.mechanism, &params, c.size};
        EXPECT_EQ(p11->C_SignInit(session, &m, priv), CKR_MECHANISM_PARAM_INVALID)
            << c.params.hashAlg << " " << c.params.mgf << " " << c.params.sLen;
    }
    CK_MECHANISM noParams{CKM_SHA256_RSA_PKCS_PSS, nullptr, 0};
    EXPECT_EQ(p11->C_SignInit(session, &noParams, priv), CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM pssDecrypt{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
    EXPECT_EQ(p11->C_DecryptInit(session, &pssDecrypt, priv), CKR_MECHANISM_INVALID);

    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM oaepSign{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    EXPECT_EQ(p11->C_SignInit(session, &oaepSign, priv), CKR_MECHANISM_INVALID);
    uint8_t label = 'L';
    const CK_RSA_PKCS_OAEP_PARAMS badOaep[] = {
        {CKM_SHA256, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0},
        // Two SHA-512 hashes and two bytes do not fit in 128 bytes.
        {CKM_SHA512, CKG_MGF1_SHA512, CKZ_DATA_SPECIFIED, nullptr, 0},
        {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 4},
        {CKM_SHA256, CKG_MGF1_SHA256, 2, &label, 1},
    };
    for (const auto& c : badOaep) {
        CK_RSA_PKCS_OAEP_PARAMS params = c;
        CK_MECHANISM m{CKM_RSA_PKCS_OAEP, &params, sizeof params};
        EXPECT_EQ(p11->C_DecryptInit(session, &m, priv), CKR_MECHANISM_PARAM_INVALID)
            << c.hashAlg << " " << c.mgf << " " << c.source;
    }
}

TEST_F(ModuleRsa, OaepDecryptsWhatOpenSslEncryptedUnderItsLabel) {
    const Bytes secret{'s', 'e', 'c', 'r', 'e', 't'};
    Bytes label{'s', 'e', 'a', 'l'};
    const Bytes encrypted = cert->Encrypt(secret, RSA_PKCS1_OAEP_PADDING, EVP_sha256(), label);
    CK_RSA_PKCS_OAEP_PARAMS params{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(),
                                   label.size()};
    Bytes plain;
    ASSERT_EQ(DecryptWith({CKM_RSA_PKCS_OAEP, &params, sizeof params}, encrypted, &plain), CKR_OK);
    EXPECT_EQ(plain, secret);
    // Another label: refused, with nothing handed out.
    params.pSourceData = nullptr;
    params.ulSourceDataLen = 0;
    EXPECT_EQ(DecryptWith({CKM_RSA_PKCS_OAEP, &params, sizeof params}, encrypted, &plain),
              CKR_ENCRYPTED_DATA_INVALID);
}

TEST_F(ModuleRsa, X509SignsAndDecryptsWholeBlocks) {
    // A short input is a small number: zeros in front, and the public key
    // takes the signature back to that block.
    const Bytes input{0x12, 0x34, 0x56};
    Bytes signature;
    ASSERT_EQ(SignWith({CKM_RSA_X_509, nullptr, 0}, input, &signature), CKR_OK);
    ASSERT_EQ(signature.size(), 128u);
    Bytes expected(125, 0);
    expected.insert(expected.end(), input.begin(), input.end());
    EXPECT_EQ(cert->Encrypt(signature), expected);
    EXPECT_EQ(SignWith({CKM_RSA_X_509, nullptr, 0}, Bytes(129, 0), &signature), CKR_DATA_LEN_RANGE);

    Bytes block(128);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
    Bytes plain;
    ASSERT_EQ(DecryptWith({CKM_RSA_X_509, nullptr, 0}, cert->Encrypt(block), &plain), CKR_OK);
    EXPECT_EQ(plain, block);
}

}  // namespace
}  // namespace qav::p11::test
