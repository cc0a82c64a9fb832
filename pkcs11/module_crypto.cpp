// Signing, decryption, digests and random numbers.
#include "encodings.h"
#include "errors.h"
#include "module.h"
#include "oaep.h"
#include "pss.h"
#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11 {

namespace {

// Raw mechanisms take one block: the input may not grow past it.
size_t MaxRawInput(const KeyOperation& op) {
    if (op.kind == KeyKind::Sm2) return op.mechanism->use == MechUse::Sm2Raw ? 32 : SIZE_MAX;
    if (op.mechanism->use == MechUse::RsaPss) return HashSize(op.paddingHash);
    return op.outputLength;
}

// Mechanisms whose padding the module makes or checks around the card's raw
// RSA operation.
bool UsesRawRsa(MechUse use) {
    return use == MechUse::RsaX509 || use == MechUse::RsaPss || use == MechUse::RsaPssHash ||
           use == MechUse::RsaOaep;
}

template <typename Params>
const Params& ParametersAs(const CK_MECHANISM& mechanism) {
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(Params)) {
        Fail(CKR_MECHANISM_PARAM_INVALID);
    }
    return *static_cast<const Params*>(mechanism.pParameter);
}

// A hash and its MGF1 twin: masks over another hash are refused, which no
// client we know asks for.
HashAlg PaddingHash(CK_MECHANISM_TYPE hashMechanism, CK_RSA_PKCS_MGF_TYPE mgf) {
    const auto hash = HashOfMechanism(hashMechanism);
    if (!hash || HashOfMgf(mgf) != hash) Fail(CKR_MECHANISM_PARAM_INVALID);
    return *hash;
}

// Reads and checks the mechanism's parameters into the operation.
void TakeParameters(const CK_MECHANISM& mechanism, KeyOperation& op) {
    switch (op.mechanism->use) {
        case MechUse::RsaPss:
        case MechUse::RsaPssHash: {
            const auto& p = ParametersAs<CK_RSA_PKCS_PSS_PARAMS>(mechanism);
            op.paddingHash = PaddingHash(p.hashAlg, p.mgf);
            if (op.mechanism->hash && op.mechanism->hash != op.paddingHash) {
                Fail(CKR_MECHANISM_PARAM_INVALID);
            }
            op.mgfHash = op.paddingHash;
            op.saltLength = p.sLen;
            return;
        }
        case MechUse::RsaOaep: {
            const auto& p = ParametersAs<CK_RSA_PKCS_OAEP_PARAMS>(mechanism);
            op.paddingHash = PaddingHash(p.hashAlg, p.mgf);
            op.mgfHash = op.paddingHash;
            if (p.source == CKZ_DATA_SPECIFIED && p.pSourceData != nullptr) {
                const auto* label = static_cast<const uint8_t*>(p.pSourceData);
                op.label.assign(label, label + p.ulSourceDataLen);
            } else if (p.ulSourceDataLen != 0 ||
                       (p.source != 0 && p.source != CKZ_DATA_SPECIFIED)) {
                Fail(CKR_MECHANISM_PARAM_INVALID);
            }
            return;
        }
        default:
            if (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0) {
                Fail(CKR_MECHANISM_PARAM_INVALID);
            }
    }
}

// Whether the key is large enough for the padding the parameters ask for.
bool PaddingFits(const KeyOperation& op) {
    switch (op.mechanism->use) {
        case MechUse::RsaPss:
        case MechUse::RsaPssHash:
            return PssFits(op.paddingHash, op.saltLength, op.modulusBits);
        case MechUse::RsaOaep:
            return OaepFits(op.paddingHash, op.outputLength);
        default:
            return true;
    }
}

// The salt comes from the host's generator, not the card's: a card command
// per signature would cost as much as the signature's own, and the salt
// needs only to be unpredictable, not secret.
Bytes Salt(size_t length) {
    Bytes salt(length);
    if (length > 0) RandomBytes(salt.data(), salt.size());
    return salt;
}

// The block the card's private-key operation signs.
Bytes SignInput(KeyOperation& op, const Object& key) {
    switch (op.mechanism->use) {
        case MechUse::RsaPkcs:
            if (op.data.size() > op.outputLength - 11) Fail(CKR_DATA_LEN_RANGE);
            return op.data;
        case MechUse::RsaPkcsHash:
            return DigestInfo(*op.mechanism->hash, op.hasher->Final());
        case MechUse::RsaX509: {
            // Shorter input is a smaller number: zeros in front.
            Bytes block(op.outputLength - op.data.size(), 0);
            block.insert(block.end(), op.data.begin(), op.data.end());
            return block;
        }
        case MechUse::RsaPss:
            return PssEncode(op.paddingHash, op.mgfHash, op.data, Salt(op.saltLength),
                             op.modulusBits);
        case MechUse::RsaPssHash:
            return PssEncode(op.paddingHash, op.mgfHash, op.hasher->Final(), Salt(op.saltLength),
                             op.modulusBits);
        case MechUse::Sm2Raw:
            if (op.data.size() != 32) Fail(CKR_DATA_LEN_RANGE);
            return op.data;
        case MechUse::Sm2Sm3: {
            const Bytes z = Sm2Z(key.point, QAV_SM2_DEFAULT_ID);
            Hasher e(HashAlg::Sm3);
            e.Update(z.data(), z.size());
            e.Update(op.data.data(), op.data.size());
            return e.Final();
        }
        case MechUse::RsaOaep:
        case MechUse::Digest:
            break;
    }
    Fail(CKR_MECHANISM_INVALID);
}

void Append(KeyOperation& op, CK_BYTE_PTR part, CK_ULONG length) {
    if (length == 0) return;
    if (op.hasher) {
        op.hasher->Update(part, length);
        return;
    }
    if (length > MaxRawInput(op) - op.data.size()) Fail(CKR_DATA_LEN_RANGE);
    op.data.insert(op.data.end(), part, part + length);
}

// With the session's lock held: takes its sign operation once the caller's
// buffer holds the signature; until then the session keeps it and the answer
// gives the size. Bad arguments end it.
std::optional<CK_RV> TakeSign(Session& session, bool argumentsBad, CK_BYTE_PTR signature,
                              CK_ULONG_PTR signatureLength, KeyOperation* op) {
    if (argumentsBad || signatureLength == nullptr) {
        session.sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    const size_t needed = session.sign->outputLength;
    if (signature == nullptr || *signatureLength < needed) {
        *signatureLength = CkLength(needed);
        return signature == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    *op = std::move(*session.sign);
    session.sign.reset();
    return std::nullopt;
}

}  // namespace

CK_RV Module::KeyInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                      bool sign) {
    const auto session = FindSession(handle);
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    {
        std::lock_guard<std::mutex> guard(session->lock);
        if (sign ? session->sign.has_value() : session->decrypt.has_value()) {
            return CKR_OPERATION_ACTIVE;
        }
    }
    const Mechanism* m = FindMechanism(mechanism->mechanism);
    if (m == nullptr || m->use == MechUse::Digest) return CKR_MECHANISM_INVALID;
    if ((m->info.flags & (sign ? CKF_SIGN : CKF_DECRYPT)) == 0) return CKR_MECHANISM_INVALID;
    KeyOperation op;
    op.mechanism = m;
    TakeParameters(*mechanism, op);
    const Object* o = session->token->Find(key);
    const bool user = session->token->LoggedIn();
    if (o == nullptr || (o->isPrivate && !user)) return CKR_KEY_HANDLE_INVALID;
    if (o->objectClass != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (!FitsKey(*m, o->kind)) return CKR_KEY_TYPE_INCONSISTENT;

    op.key = key;
    op.container = o->container;
    op.kind = o->kind;
    op.modulusBits = o->bits;
    op.outputLength = o->kind == KeyKind::Sm2 ? 64 : (o->bits + 7) / 8;
    if (!PaddingFits(op)) return CKR_MECHANISM_PARAM_INVALID;
    if (sign && (m->use == MechUse::RsaPkcsHash || m->use == MechUse::RsaPssHash)) {
        op.hasher = std::make_unique<Hasher>(*m->hash);
    }
    std::lock_guard<std::mutex> guard(session->lock);
    auto& slot = sign ? session->sign : session->decrypt;
    if (slot) return CKR_OPERATION_ACTIVE;
    slot = std::move(op);
    return CKR_OK;
}

CK_RV Module::SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                       CK_OBJECT_HANDLE key) {
    return KeyInit(session, mechanism, key, true);
}

CK_RV Module::DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                          CK_OBJECT_HANDLE key) {
    return KeyInit(session, mechanism, key, false);
}

// Runs a finished operation on the card, with no lock held.
CK_RV Module::RunKeyOperation(Session& session, KeyOperation op, bool sign, CK_BYTE_PTR out,
                              CK_ULONG_PTR outLength) {
    Token& token = *session.token;
    const Object* key = token.Find(op.key);
    if (key == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (!token.LoggedIn()) return CKR_USER_NOT_LOGGED_IN;
    Bytes input = sign ? SignInput(op, *key) : op.data;
    const WipeOnExit wipeInput(input);
    Bytes result(op.outputLength);
    const WipeOnExit wipeResult(result);
    uint32_t produced = static_cast<uint32_t>(result.size());
    const uint32_t inputLength = static_cast<uint32_t>(input.size());
    const uint32_t rc =
        UsesRawRsa(op.mechanism->use)
            ? QAV_PrivateKeyCalcRaw(token.Handle(), op.container.c_str(), input.data(), inputLength,
                                    result.data(), &produced, 0)
            : QAV_PrivateKeyCalc(token.Handle(), op.container.c_str(), sign ? 1 : 0, input.data(),
                                 inputLength, result.data(), &produced, 0);
    if (rc != QAV_OK) {
        if (PinNotVerified(rc)) token.ForgetLogin();
        if (!sign && rc == QAV_E_BAD_LENGTH) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        return FromLibrary(rc);
    }
    result.resize(produced);
    if (!sign && op.mechanism->use == MechUse::RsaOaep) {
        std::optional<Bytes> message = OaepDecode(op.paddingHash, op.mgfHash, op.label, result);
        if (!message) return CKR_ENCRYPTED_DATA_INVALID;
        const WipeOnExit wipeMessage(*message);
        std::copy(message->begin(), message->end(), result.begin());
        Wipe(result.data() + message->size(), result.size() - message->size());
        result.resize(message->size());
    }
    if (!sign && *outLength < result.size()) {
        // Keep the plaintext for the call with a buffer large enough.
        *outLength = CkLength(result.size());
        std::lock_guard<std::mutex> guard(session.lock);
        op.data = result;
        op.multiPart = true;  // marks a finished decryption
        session.decrypt = std::move(op);
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(result.begin(), result.end(), out);
    *outLength = CkLength(result.size());
    return CKR_OK;
}

CK_RV Module::Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length,
                   CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
    const auto session = FindSession(handle);
    KeyOperation op;
    {
        std::lock_guard<std::mutex> guard(session->lock);
        if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
        if (session->sign->multiPart) return CKR_OPERATION_ACTIVE;
        const bool badData = data == nullptr && length != 0;
        if (const auto answer = TakeSign(*session, badData, signature, signatureLength, &op)) {
            return *answer;
        }
    }
    Append(op, data, length);
    return RunKeyOperation(*session, std::move(op), true, signature, signatureLength);
}

CK_RV Module::SignUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG length) {
    const auto session = FindSession(handle);
    std::lock_guard<std::mutex> guard(session->lock);
    if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (part == nullptr && length != 0) {
        session->sign.reset();
        return CKR_ARGUMENTS_BAD;
    }
    session->sign->multiPart = true;
    try {
        Append(*session->sign, part, length);
    } catch (const CkError&) {
        session->sign.reset();
        throw;
    }
    return CKR_OK;
}

CK_RV Module::SignFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature,
                        CK_ULONG_PTR signatureLength) {
    const auto session = FindSession(handle);
    KeyOperation op;
    {
        std::lock_guard<std::mutex> guard(session->lock);
        if (!session->sign) return CKR_OPERATION_NOT_INITIALIZED;
        if (const auto answer = TakeSign(*session, false, signature, signatureLength, &op)) {
            return *answer;
        }
    }
    return RunKeyOperation(*session, std::move(op), true, signature, signatureLength);
}

CK_RV Module::Decrypt(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                      CK_ULONG_PTR outLength) {
    const auto session = FindSession(handle);
    KeyOperation op;
    {
        std::lock_guard<std::mutex> guard(session->lock);
        if (!session->decrypt) return CKR_OPERATION_NOT_INITIALIZED;
        if (outLength == nullptr || (data == nullptr && length != 0)) {
            session->decrypt.reset();
            return CKR_ARGUMENTS_BAD;
        }
        KeyOperation& current = *session->decrypt;
        if (current.multiPart) {
            // Decrypted already, waiting for a buffer that holds it.
            if (out == nullptr || *outLength < current.data.size()) {
                *outLength = CkLength(current.data.size());
                return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
            }
            std::copy(current.data.begin(), current.data.end(), out);
            *outLength = CkLength(current.data.size());
            Wipe(current.data.data(), current.data.size());
            session->decrypt.reset();
            return CKR_OK;
        }
        if (length != current.outputLength) {
            session->decrypt.reset();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        if (out == nullptr) {
            // An upper bound: the plaintext's length is known only afterwards.
            *outLength = CkLength(current.outputLength);
            return CKR_OK;
        }
        op = std::move(current);
        session->decrypt.reset();
    }
    op.data.assign(data, data + length);
    return RunKeyOperation(*session, std::move(op), false, out, outLength);
}

CK_RV Module::DigestInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism) {
    const auto session = FindSession(handle);
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const Mechanism* m = FindMechanism(mechanism->mechanism);
    if (m == nullptr || m->use != MechUse::Digest) return CKR_MECHANISM_INVALID;
    if (mechanism->pParameter != nullptr || mechanism->ulParameterLen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    std::lock_guard<std::mutex> guard(session->lock);
    if (session->digest) return CKR_OPERATION_ACTIVE;
    session->digest = std::make_unique<Hasher>(*m->hash);
    return CKR_OK;
}

CK_RV Module::Digest(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                     CK_ULONG_PTR outLength) {
    const auto session = FindSession(handle);
    std::lock_guard<std::mutex> guard(session->lock);
    if (!session->digest) return CKR_OPERATION_NOT_INITIALIZED;
    if (outLength == nullptr || (data == nullptr && length != 0)) {
        session->digest.reset();
        return CKR_ARGUMENTS_BAD;
    }
    const size_t needed = HashSize(session->digest->Alg());
    if (out == nullptr || *outLength < needed) {
        *outLength = CkLength(needed);
        return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<Hasher> hasher = std::move(session->digest);
    hasher->Update(data, length);
    const Bytes digest = hasher->Final();
    std::copy(digest.begin(), digest.end(), out);
    *outLength = CkLength(digest.size());
    return CKR_OK;
}

CK_RV Module::DigestUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG length) {
    const auto session = FindSession(handle);
    std::lock_guard<std::mutex> guard(session->lock);
    if (!session->digest) return CKR_OPERATION_NOT_INITIALIZED;
    if (part == nullptr && length != 0) {
        session->digest.reset();
        return CKR_ARGUMENTS_BAD;
    }
    session->digest->Update(part, length);
    return CKR_OK;
}

CK_RV Module::DigestFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Digest(handle, nullptr, 0, out, outLength);
}

CK_RV Module::GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length) {
    const auto session = FindSession(handle);
    if (out == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
    if (length == 0) return CKR_OK;
    if (length > UINT32_MAX) return CKR_ARGUMENTS_BAD;
    const uint32_t rc =
        QAV_GenRandom(session->token->Handle(), out, static_cast<uint32_t>(length), 0);
    return rc == QAV_OK ? CKR_OK : FromLibrary(rc);
}

}  // namespace qav::p11
