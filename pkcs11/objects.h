// Token objects and their attribute tables, built once from a container's
// certificate and answered from memory afterwards.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "bytes.h"
#include "cert_info.h"
#include "cryptoki.h"

namespace qav::p11 {

struct Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    std::string container;
    bool isPrivate = false;
    KeyKind kind = KeyKind::Rsa;
    unsigned long bits = 0;
    Bytes point;  // SM2 public point 04||x||y, for Z
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
    std::set<CK_ATTRIBUTE_TYPE> sensitive;
};

// The certificate, public key and private key of one container, sharing
// CKA_ID and CKA_LABEL (the container's name). Handles come from *next.
std::vector<Object> ContainerObjects(const std::string& container, const Bytes& certificate,
                                     const CertInfo& info, CK_OBJECT_HANDLE* next);

// A seal picture (a PNG image) as a data object, public as the card keeps it.
Object PictureObject(uint32_t pictureRef, const Bytes& png, CK_OBJECT_HANDLE handle);

// C_GetAttributeValue on one object: every entry answered, the result the
// last failure met (sensitive, unknown type, buffer too small) or CKR_OK.
CK_RV ReadAttributes(const Object& object, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);

// True when every template entry is present with the same value.
bool Matches(const Object& object, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& tmpl);

}  // namespace qav::p11
