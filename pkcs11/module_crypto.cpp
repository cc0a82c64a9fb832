// Signing, decryption, digests and random numbers.
#include "encodings.h"
#include "errors.h"
#include "module.h"
#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11 {

namespace {

// Raw mechanisms take one block: the input may not grow past it.
size_t MaxRawInput(const KeyOperation& op) {
    if (op.kind == KeyKind::Sm2) return op.mechanism->use == MechUse::Sm2Raw ? 32 : SIZE_MAX;
    return op.outputLength;
}

// The block the card's private-key operation signs.
Bytes SignInput(KeyOperation& op, const Object& key) {
    switch (op.mechanism->use) {
        case MechUse::RsaPkcs:
            if (op.data.size() > op.outputLength - 11) Fail(CKR_DATA_LEN_RANGE);
            return op.data;
        case MechUse::RsaPkcsHash:
            return DigestInfo(*op.mechanism->hash, op.hasher->Final());
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
    if (mechanism->pParameter != nullptr || mechanism->ulParameterLen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    const Object* o = session->token->Find(key);
    const bool user = session->token->LoggedIn();
    if (o == nullptr || (o->isPrivate && !user)) return CKR_KEY_HANDLE_INVALID;
    if (o->objectClass != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (!FitsKey(*m, o->kind)) return CKR_KEY_TYPE_INCONSISTENT;

    KeyOperation op;
    op.mechanism = m;
    op.key = key;
    op.container = o->container;
    op.kind = o->kind;
    op.outputLength = o->kind == KeyKind::Sm2 ? 64 : (o->bits + 7) / 8;
    if (sign && m->use == MechUse::RsaPkcsHash) op.hasher = std::make_unique<Hasher>(*m->hash);
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
    const uint32_t rc =
        QAV_PrivateKeyCalc(token.Handle(), op.container.c_str(), sign ? 1 : 0, input.data(),
                           static_cast<uint32_t>(input.size()), result.data(), &produced, 0);
    if (rc != QAV_OK) {
        if (PinNotVerified(rc)) token.ForgetLogin();
        if (!sign && rc == QAV_E_BAD_LENGTH) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        return FromLibrary(rc);
    }
    result.resize(produced);
    if (!sign && *outLength < result.size()) {
        // Keep the plaintext for the call with a buffer large enough.
        *outLength = result.size();
        std::lock_guard<std::mutex> guard(session.lock);
        op.data = result;
        op.multiPart = true;  // marks a finished decryption
        session.decrypt = std::move(op);
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(result.begin(), result.end(), out);
    *outLength = result.size();
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
        if (signatureLength == nullptr || (data == nullptr && length != 0)) {
            session->sign.reset();
            return CKR_ARGUMENTS_BAD;
        }
        const size_t needed = session->sign->outputLength;
        if (signature == nullptr || *signatureLength < needed) {
            *signatureLength = needed;
            return signature == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        }
        op = std::move(*session->sign);
        session->sign.reset();
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
        if (signatureLength == nullptr) {
            session->sign.reset();
            return CKR_ARGUMENTS_BAD;
        }
        const size_t needed = session->sign->outputLength;
        if (signature == nullptr || *signatureLength < needed) {
            *signatureLength = needed;
            return signature == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        }
        op = std::move(*session->sign);
        session->sign.reset();
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
                *outLength = current.data.size();
                return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
            }
            std::copy(current.data.begin(), current.data.end(), out);
            *outLength = current.data.size();
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
            *outLength = current.outputLength;
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
        *outLength = needed;
        return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    }
    std::unique_ptr<Hasher> hasher = std::move(session->digest);
    hasher->Update(data, length);
    const Bytes digest = hasher->Final();
    std::copy(digest.begin(), digest.end(), out);
    *outLength = digest.size();
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
