#include "module_fixture.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace qav::p11::test {

const std::string& ModuleTest::DefaultImage() {
    static const std::string image = vcard::SealCard::CreateDefault()->ToJson();
    return image;
}

void ModuleTest::InsertKey() {
    key = std::make_shared<KeyCard>(vcard::SealCard::FromJson(DefaultImage()));
    pcsc.InsertCard(kReader, key);
}

void ModuleTest::SetUp() {
    pcsc.AddReader(kReader);
    InsertKey();
    ASSERT_EQ(C_GetFunctionList(&p11), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    initialized = true;
}

void ModuleTest::TearDown() {
    if (initialized) {
        EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    }
}

CK_SLOT_ID ModuleTest::Slot() {
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, &slot, &count), CKR_OK);
    return slot;
}

CK_SESSION_HANDLE ModuleTest::Open(CK_FLAGS flags) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(p11->C_OpenSession(Slot(), flags, nullptr, nullptr, &session), CKR_OK);
    return session;
}

CK_RV ModuleTest::Login(CK_SESSION_HANDLE session, const std::string& pin) {
    std::string copy = pin;
    return p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()),
                        copy.size());
}

std::vector<CK_OBJECT_HANDLE> ModuleTest::Find(CK_SESSION_HANDLE session,
                                               CK_OBJECT_CLASS objectClass,
                                               const std::string& label) {
    std::string text = label;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                           {CKA_LABEL, text.data(), text.size()}};
    EXPECT_EQ(p11->C_FindObjectsInit(session, tmpl, 2), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> found(8);
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_FindObjects(session, found.data(), found.size(), &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    found.resize(count);
    return found;
}

Bytes ModuleTest::Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
    Bytes out(a.ulValueLen);
    a.pValue = out.data();
    EXPECT_EQ(p11->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
    return out;
}

CK_RV ModuleTest::Sign(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism,
                       CK_OBJECT_HANDLE keyHandle, const Bytes& data, Bytes* signature) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    if (const CK_RV rv = p11->C_SignInit(session, &m, keyHandle)) return rv;
    CK_ULONG length = 0;
    Bytes input = data;
    if (const CK_RV rv = p11->C_Sign(session, input.data(), input.size(), nullptr, &length)) {
        return rv;
    }
    signature->resize(length);
    const CK_RV rv = p11->C_Sign(session, input.data(), input.size(), signature->data(), &length);
    signature->resize(length);
    return rv;
}

namespace {

struct FreeX509 {
    void operator()(X509* x) const { X509_free(x); }
};
struct FreeMdCtx {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct FreePkeyCtx {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

std::unique_ptr<X509, FreeX509> Parse(const Bytes& der) {
    const unsigned char* p = der.data();
    return std::unique_ptr<X509, FreeX509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

}  // namespace

bool VerifiesRsa(const Bytes& certificate, const char* digest, const Bytes& data,
                 const Bytes& signature) {
    const auto cert = Parse(certificate);
    if (!cert) return false;
    std::unique_ptr<EVP_MD_CTX, FreeMdCtx> md(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit_ex(md.get(), nullptr, digest, nullptr, nullptr,
                                   X509_get0_pubkey(cert.get()), nullptr) == 1 &&
           EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

bool VerifiesSm2(const Bytes& certificate, const Bytes& data, const Bytes& signature) {
    const auto cert = Parse(certificate);
    if (!cert || signature.size() != 64) return false;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), 32, nullptr),
                   BN_bin2bn(signature.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    std::unique_ptr<EVP_MD_CTX, FreeMdCtx> md(EVP_MD_CTX_new());
    std::unique_ptr<EVP_PKEY_CTX, FreePkeyCtx> ctx(EVP_PKEY_CTX_new(key, nullptr));
    static const char id[] = "1234567812345678";
    bool ok = EVP_PKEY_CTX_set1_id(ctx.get(), id, 16) == 1;
    EVP_MD_CTX_set_pkey_ctx(md.get(), ctx.get());
    ok = ok && EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) == 1 &&
         EVP_DigestVerify(md.get(), der, static_cast<size_t>(derLength), data.data(),
                          data.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

}  // namespace qav::p11::test
