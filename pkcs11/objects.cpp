#include "objects.h"

#include <cstring>

#include "hash.h"
#include "mechanisms.h"
#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11 {

namespace {

// DER OID 1.2.156.10197.1.301, the SM2 curve.
const Bytes kSm2Params{0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

template <typename T>
Bytes Value(T value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes Bool(bool value) { return Bytes{static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes OctetString(const Bytes& value) {
    Bytes out{0x04};
    if (value.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(value.size()));
    } else {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(value.size()));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes MechanismList(KeyKind kind) {
    const std::vector<CK_MECHANISM_TYPE> list = AllowedFor(kind);
    Bytes out(list.size() * sizeof(CK_MECHANISM_TYPE));
    if (!list.empty()) std::memcpy(out.data(), list.data(), out.size());
    return out;
}

void Common(Object& o, CK_OBJECT_CLASS objectClass, const std::string& container, const Bytes& id,
            bool isPrivate) {
    o.objectClass = objectClass;
    o.container = container;
    o.isPrivate = isPrivate;
    o.attributes[CKA_CLASS] = Value<CK_OBJECT_CLASS>(objectClass);
    o.attributes[CKA_TOKEN] = Bool(true);
    o.attributes[CKA_PRIVATE] = Bool(isPrivate);
    o.attributes[CKA_MODIFIABLE] = Bool(false);
    o.attributes[CKA_COPYABLE] = Bool(false);
    o.attributes[CKA_DESTROYABLE] = Bool(false);
    o.attributes[CKA_LABEL] = Text(container);
    o.attributes[CKA_ID] = id;
}

void KeyCommon(Object& o, const CertInfo& info) {
    o.kind = info.kind;
    o.bits = info.bits;
    o.point = info.point;
    o.attributes[CKA_KEY_TYPE] =
        Value<CK_KEY_TYPE>(info.kind == KeyKind::Rsa ? CKK_RSA : CKK_QAV_SM2);
    o.attributes[CKA_SUBJECT] = info.subject;
    o.attributes[CKA_START_DATE] = {};
    o.attributes[CKA_END_DATE] = {};
    o.attributes[CKA_DERIVE] = Bool(false);
    o.attributes[CKA_LOCAL] = Bool(false);
    o.attributes[CKA_ALLOWED_MECHANISMS] = MechanismList(info.kind);
    if (!info.publicKeyInfo.empty()) o.attributes[CKA_PUBLIC_KEY_INFO] = info.publicKeyInfo;
    if (info.kind == KeyKind::Rsa) {
        o.attributes[CKA_MODULUS] = info.modulus;
        o.attributes[CKA_PUBLIC_EXPONENT] = info.exponent;
        o.attributes[CKA_MODULUS_BITS] = Value<CK_ULONG>(info.bits);
    } else {
        o.attributes[CKA_EC_PARAMS] = kSm2Params;
        o.attributes[CKA_EC_POINT] = OctetString(info.point);
    }
}

}  // namespace

std::vector<Object> ContainerObjects(const std::string& container, const Bytes& certificate,
                                     const CertInfo& info, CK_OBJECT_HANDLE* next) {
    // Clients pair the three objects by CKA_ID: a digest of the public key.
    const Bytes id = Hash(HashAlg::Sha1, info.kind == KeyKind::Rsa ? info.modulus : info.point);
    const bool rsa = info.kind == KeyKind::Rsa;
    std::vector<Object> out(3);

    Object& cert = out[0];
    Common(cert, CKO_CERTIFICATE, container, id, false);
    cert.kind = info.kind;
    cert.attributes[CKA_CERTIFICATE_TYPE] = Value<CK_CERTIFICATE_TYPE>(CKC_X_509);
    cert.attributes[CKA_TRUSTED] = Bool(false);
    cert.attributes[CKA_CERTIFICATE_CATEGORY] = Value<CK_ULONG>(0);
    cert.attributes[CKA_SUBJECT] = info.subject;
    cert.attributes[CKA_ISSUER] = info.issuer;
    cert.attributes[CKA_SERIAL_NUMBER] = info.serialNumber;
    cert.attributes[CKA_VALUE] = certificate;
    cert.attributes[CKA_START_DATE] = {};
    cert.attributes[CKA_END_DATE] = {};

    Object& pub = out[1];
    Common(pub, CKO_PUBLIC_KEY, container, id, false);
    KeyCommon(pub, info);
    pub.attributes[CKA_ENCRYPT] = Bool(false);
    pub.attributes[CKA_VERIFY] = Bool(false);
    pub.attributes[CKA_VERIFY_RECOVER] = Bool(false);
    pub.attributes[CKA_WRAP] = Bool(false);
    pub.attributes[CKA_TRUSTED] = Bool(false);

    Object& priv = out[2];
    Common(priv, CKO_PRIVATE_KEY, container, id, true);
    KeyCommon(priv, info);
    priv.attributes[CKA_SIGN] = Bool(true);
    priv.attributes[CKA_SIGN_RECOVER] = Bool(false);
    priv.attributes[CKA_DECRYPT] = Bool(rsa);
    priv.attributes[CKA_UNWRAP] = Bool(false);
    priv.attributes[CKA_SENSITIVE] = Bool(true);
    priv.attributes[CKA_ALWAYS_SENSITIVE] = Bool(true);
    priv.attributes[CKA_EXTRACTABLE] = Bool(false);
    priv.attributes[CKA_NEVER_EXTRACTABLE] = Bool(true);
    // The seal key asks for its PIN once, not per operation.
    priv.attributes[CKA_ALWAYS_AUTHENTICATE] = Bool(false);
    priv.attributes[CKA_WRAP_WITH_TRUSTED] = Bool(false);
    if (rsa) {
        priv.attributes.erase(CKA_MODULUS_BITS);
        priv.sensitive = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                          CKA_EXPONENT_1,       CKA_EXPONENT_2, CKA_COEFFICIENT};
    } else {
        priv.sensitive = {CKA_VALUE};
    }

    for (Object& o : out) o.handle = (*next)++;
    return out;
}

Object PictureObject(uint32_t pictureRef, const Bytes& png, CK_OBJECT_HANDLE handle) {
    Object o;
    Common(o, CKO_DATA, std::string(), Bytes(), false);
    o.attributes.erase(CKA_ID);
    o.attributes[CKA_LABEL] = Text("Seal picture " + std::to_string(pictureRef));
    o.attributes[CKA_APPLICATION] = Text(QAV_SEAL_PICTURE_APPLICATION);
    o.attributes[CKA_OBJECT_ID] = {};
    o.attributes[CKA_VALUE] = png;
    o.handle = handle;
    return o;
}

CK_RV ReadAttributes(const Object& object, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = tmpl[i];
        if (object.sensitive.count(a.type) != 0) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        }
        const auto found = object.attributes.find(a.type);
        if (found == object.attributes.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        const Bytes& value = found->second;
        if (a.pValue == nullptr) {
            a.ulValueLen = CkLength(value.size());
        } else if (a.ulValueLen < value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!value.empty()) std::memcpy(a.pValue, value.data(), value.size());
            a.ulValueLen = CkLength(value.size());
        }
    }
    return rv;
}

bool Matches(const Object& object, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& tmpl) {
    for (const auto& [type, value] : tmpl) {
        const auto found = object.attributes.find(type);
        if (found == object.attributes.end() || found->second != value) return false;
    }
    return true;
}

}  // namespace qav::p11
