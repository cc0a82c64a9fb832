// Attribute tables of a container's three objects and the size-query
// protocol of C_GetAttributeValue.
#include "objects.h"

#include <gtest/gtest.h>

#include <cstring>

#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11 {
namespace {

CertInfo RsaInfo() {
    CertInfo info;
    info.subject = {0x30, 0x00};
    info.issuer = {0x30, 0x02, 0x31, 0x00};
    info.serialNumber = {0x02, 0x01, 0x05};
    info.kind = KeyKind::Rsa;
    info.modulus = Bytes(128, 0xC5);
    info.exponent = {0x01, 0x00, 0x01};
    info.bits = 1024;
    return info;
}

CertInfo Sm2Info() {
    CertInfo info = RsaInfo();
    info.kind = KeyKind::Sm2;
    info.modulus.clear();
    info.exponent.clear();
    info.point = Bytes(65, 0x11);
    info.point[0] = 0x04;
    info.bits = 256;
    return info;
}

template <typename T>
T Scalar(const Object& o, CK_ATTRIBUTE_TYPE type) {
    T value{};
    CK_ATTRIBUTE a{type, &value, sizeof value};
    EXPECT_EQ(ReadAttributes(o, &a, 1), CKR_OK) << type;
    EXPECT_EQ(a.ulValueLen, sizeof value);
    return value;
}

Bytes Raw(const Object& o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    EXPECT_EQ(ReadAttributes(o, &a, 1), CKR_OK) << type;
    Bytes out(a.ulValueLen);
    a.pValue = out.data();
    EXPECT_EQ(ReadAttributes(o, &a, 1), CKR_OK) << type;
    return out;
}

TEST(Objects, ContainerGivesCertificatePublicAndPrivateKeySharingIdAndLabel) {
    CK_OBJECT_HANDLE next = 10;
    const Bytes cert{0x30, 0x03, 0x02, 0x01, 0x01};
    const auto objects = ContainerObjects("QAV-RSA1024", cert, RsaInfo(), &next);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(next, 13u);
    EXPECT_EQ(Scalar<CK_OBJECT_CLASS>(objects[0], CKA_CLASS), CKO_CERTIFICATE);
    EXPECT_EQ(Scalar<CK_OBJECT_CLASS>(objects[1], CKA_CLASS), CKO_PUBLIC_KEY);
    EXPECT_EQ(Scalar<CK_OBJECT_CLASS>(objects[2], CKA_CLASS), CKO_PRIVATE_KEY);
    const Bytes id = Raw(objects[0], CKA_ID);
    EXPECT_EQ(id.size(), 20u);
    for (const Object& o : objects) {
        EXPECT_EQ(Raw(o, CKA_ID), id);
        const Bytes label = Raw(o, CKA_LABEL);
        EXPECT_EQ(std::string(label.begin(), label.end()), "QAV-RSA1024");
        EXPECT_EQ(Scalar<CK_BBOOL>(o, CKA_TOKEN), CK_TRUE);
    }
    EXPECT_EQ(Raw(objects[0], CKA_VALUE), cert);
    EXPECT_EQ(Raw(objects[0], CKA_SERIAL_NUMBER), (Bytes{0x02, 0x01, 0x05}));
    EXPECT_EQ(Scalar<CK_CERTIFICATE_TYPE>(objects[0], CKA_CERTIFICATE_TYPE), CKC_X_509);
    EXPECT_EQ(Scalar<CK_BBOOL>(objects[0], CKA_TRUSTED), CK_FALSE);
    EXPECT_EQ(Scalar<CK_ULONG>(objects[1], CKA_MODULUS_BITS), 1024u);

    // The private key repeats the public attributes that clients build keys from.
    const Object& priv = objects[2];
    EXPECT_TRUE(priv.isPrivate);
    EXPECT_EQ(Raw(priv, CKA_MODULUS), Bytes(128, 0xC5));
    EXPECT_EQ(Raw(priv, CKA_PUBLIC_EXPONENT), (Bytes{1, 0, 1}));
    EXPECT_EQ(Scalar<CK_KEY_TYPE>(priv, CKA_KEY_TYPE), CKK_RSA);
    EXPECT_EQ(Scalar<CK_BBOOL>(priv, CKA_SIGN), CK_TRUE);
    EXPECT_EQ(Scalar<CK_BBOOL>(priv, CKA_DECRYPT), CK_TRUE);
    EXPECT_EQ(Scalar<CK_BBOOL>(priv, CKA_SENSITIVE), CK_TRUE);
    EXPECT_EQ(Scalar<CK_BBOOL>(priv, CKA_EXTRACTABLE), CK_FALSE);
    EXPECT_EQ(Scalar<CK_BBOOL>(priv, CKA_ALWAYS_AUTHENTICATE), CK_FALSE);
    const Bytes allowed = Raw(priv, CKA_ALLOWED_MECHANISMS);
    ASSERT_EQ(allowed.size() % sizeof(CK_MECHANISM_TYPE), 0u);
    std::vector<CK_MECHANISM_TYPE> mechanisms(allowed.size() / sizeof(CK_MECHANISM_TYPE));
    std::memcpy(mechanisms.data(), allowed.data(), allowed.size());
    EXPECT_EQ(mechanisms.front(), CKM_RSA_PKCS);
    for (const CK_MECHANISM_TYPE m : {CKM_RSA_X_509, CKM_SHA256_RSA_PKCS_PSS, CKM_RSA_PKCS_OAEP}) {
        EXPECT_EQ(std::count(mechanisms.begin(), mechanisms.end(), m), 1) << m;
    }
    EXPECT_EQ(std::count(mechanisms.begin(), mechanisms.end(), CKM_QAV_SM2), 0);
}

TEST(Objects, Sm2KeysCarryTheCurveAndThePointAsOctetString) {
    CK_OBJECT_HANDLE next = 1;
    const auto objects = ContainerObjects("QAV-SM2-Seal", {0x30, 0x00}, Sm2Info(), &next);
    for (const Object* o : {&objects[1], &objects[2]}) {
        EXPECT_EQ(Scalar<CK_KEY_TYPE>(*o, CKA_KEY_TYPE), CKK_QAV_SM2);
        EXPECT_EQ(Raw(*o, CKA_EC_PARAMS),
                  (Bytes{0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}));
        const Bytes point = Raw(*o, CKA_EC_POINT);
        ASSERT_EQ(point.size(), 67u);
        EXPECT_EQ(point[0], 0x04);
        EXPECT_EQ(point[1], 65);
        EXPECT_EQ(Bytes(point.begin() + 2, point.end()), Sm2Info().point);
    }
    EXPECT_EQ(Scalar<CK_BBOOL>(objects[2], CKA_DECRYPT), CK_FALSE);
}

TEST(Objects, GetAttributeValueAnswersEveryEntryAndReportsTheFailure) {
    CK_OBJECT_HANDLE next = 1;
    const auto objects = ContainerObjects("c", {0x30, 0x00}, RsaInfo(), &next);
    const Object& priv = objects[2];
    CK_BYTE small[4];
    CK_BYTE label[8];
    CK_ATTRIBUTE tmpl[] = {
        {CKA_PRIVATE_EXPONENT, nullptr, 0},  // sensitive
        {CKA_VALUE_LEN, nullptr, 0},         // not an attribute of this object
        {CKA_MODULUS, small, sizeof small},  // too small
        {CKA_LABEL, label, sizeof label},    // fits
        {CKA_ID, nullptr, 0},                // size query
    };
    const CK_RV rv = ReadAttributes(priv, tmpl, 5);
    EXPECT_TRUE(rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
                rv == CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tmpl[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(tmpl[3].ulValueLen, 1u);
    EXPECT_EQ(label[0], 'c');
    EXPECT_EQ(tmpl[4].ulValueLen, 20u);

    CK_ATTRIBUTE one{CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(ReadAttributes(priv, &one, 1), CKR_ATTRIBUTE_SENSITIVE);
    CK_ATTRIBUTE two{CKA_VALUE_LEN, nullptr, 0};
    EXPECT_EQ(ReadAttributes(priv, &two, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    CK_ATTRIBUTE three{CKA_MODULUS, small, sizeof small};
    EXPECT_EQ(ReadAttributes(priv, &three, 1), CKR_BUFFER_TOO_SMALL);
}

TEST(Objects, TemplatesMatchOnExactValues) {
    CK_OBJECT_HANDLE next = 1;
    const auto objects = ContainerObjects("c", {0x30, 0x00}, RsaInfo(), &next);
    const CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    Bytes classBytes(sizeof cls);
    std::memcpy(classBytes.data(), &cls, sizeof cls);
    EXPECT_FALSE(Matches(objects[0], {{CKA_CLASS, classBytes}}));
    EXPECT_TRUE(Matches(objects[2], {{CKA_CLASS, classBytes}}));
    EXPECT_TRUE(Matches(objects[2], {}));
    EXPECT_FALSE(Matches(objects[2], {{CKA_LABEL, {'c', 'd'}}}));
    EXPECT_FALSE(Matches(objects[2], {{CKA_VALUE_LEN, {}}}));
}

}  // namespace
}  // namespace qav::p11
