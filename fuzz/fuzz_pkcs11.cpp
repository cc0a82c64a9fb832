// The PKCS#11 module driven over the fake PC/SC service with a virtual key
// in its reader: the input is a sequence of C_* calls with their arguments
// (templates, mechanisms, buffer lengths, handles), service events and
// tampered card answers. Beyond not crashing, leaking or hanging, the module
// has to keep the size-query protocols, answer "not initialised" outside
// C_Initialize..C_Finalize and nothing else inside, never let an exception
// through as CKR_GENERAL_ERROR, and leave nothing of the service held once
// finalised.
//
// Input: a stream of operations, each an operation byte and the argument
// bytes it reads; data (PINs, text to sign) is a length byte and the bytes.
// Missing bytes read as 0.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "fake_pcsc/fake_pcsc.h"
#include "platform/wait.h"
#include "qavseal/qavseal.h"
#include "qavseal/qavseal_pkcs11.h"
#include "vcard/seal_card.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kReader[] = "ADM Virtual Seal 00 00";
constexpr size_t kMaxOps = 40;
const bool g_trace = std::getenv("QAV_FUZZ_TRACE") != nullptr;

[[noreturn]] void Broken(const char* what, const char* call, CK_RV rv) {
    std::fprintf(stderr, "pkcs11 fuzz: %s: %s returned 0x%08lX\n", what, call,
                 static_cast<unsigned long>(rv));
    std::abort();
}

void Require(bool condition, const char* what, const char* call, CK_RV rv) {
    if (!condition) Broken(what, call, rv);
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes Data() {
        const size_t length = std::min<size_t>(Byte(), size_ - std::min(at_, size_));
        Bytes out(data_ + at_, data_ + at_ + length);
        at_ += length;
        return out;
    }

private:
    const uint8_t* const data_;
    const size_t size_;
    size_t at_ = 0;
};

// The virtual key, whose answers the input can cut short or alter.
class TamperedKey final : public qav::fake::FakeCard {
public:
    explicit TamperedKey(std::unique_ptr<vcard::SealCard> key) : key_(std::move(key)) {}
    Bytes Atr() const override { return key_->Atr(); }
    void Reset() override { key_->Reset(); }
    Bytes Transmit(const Bytes& command) override {
        Bytes answer = key_->Transmit(command);
        const std::lock_guard<std::mutex> guard(lock_);
        if (skip_ > 0) {
            --skip_;
        } else if (armed_) {
            armed_ = false;
            if (cut_) {
                answer.resize(std::min(answer.size(), at_));
            } else if (!answer.empty()) {
                answer[at_ % answer.size()] ^= value_;
            }
        }
        return answer;
    }
    // The answer `skip` answers from now: cut to `at` bytes, or its byte at
    // `at` (modulo its length) xored with `value`.
    void Arm(uint8_t skip, bool cut, size_t at, uint8_t value) {
        const std::lock_guard<std::mutex> guard(lock_);
        armed_ = true;
        skip_ = skip;
        cut_ = cut;
        at_ = at;
        value_ = value == 0 ? 0x01 : value;
    }

private:
    const std::unique_ptr<vcard::SealCard> key_;
    std::mutex lock_;
    bool armed_ = false;
    uint8_t skip_ = 0;
    bool cut_ = false;
    size_t at_ = 0;
    uint8_t value_ = 0;
};

std::string g_image;
std::string g_configRoot;

// Application mutexes for the callback locking case.
CK_RV CreateMutexCb(CK_VOID_PTR_PTR mutex) {
    if (mutex == nullptr) return CKR_ARGUMENTS_BAD;
    *mutex = new std::mutex;
    return CKR_OK;
}
CK_RV DestroyMutexCb(CK_VOID_PTR mutex) {
    delete static_cast<std::mutex*>(mutex);
    return CKR_OK;
}
CK_RV LockMutexCb(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->lock();
    return CKR_OK;
}
CK_RV UnlockMutexCb(CK_VOID_PTR mutex) {
    static_cast<std::mutex*>(mutex)->unlock();
    return CKR_OK;
}

constexpr CK_ATTRIBUTE_TYPE kAttributes[] = {CKA_CLASS,
                                             CKA_LABEL,
                                             CKA_ID,
                                             CKA_KEY_TYPE,
                                             CKA_TOKEN,
                                             CKA_PRIVATE,
                                             CKA_VALUE,
                                             CKA_MODULUS,
                                             CKA_PUBLIC_EXPONENT,
                                             CKA_MODULUS_BITS,
                                             CKA_EC_PARAMS,
                                             CKA_EC_POINT,
                                             CKA_SUBJECT,
                                             CKA_ISSUER,
                                             CKA_SERIAL_NUMBER,
                                             CKA_CERTIFICATE_TYPE,
                                             CKA_SIGN,
                                             CKA_DECRYPT,
                                             CKA_SENSITIVE,
                                             CKA_EXTRACTABLE,
                                             CKA_ALWAYS_AUTHENTICATE,
                                             CKA_ALLOWED_MECHANISMS,
                                             CKA_PRIVATE_EXPONENT,
                                             CKA_TRUSTED,
                                             CKA_APPLICATION,
                                             CKA_OBJECT_ID,
                                             CKA_VENDOR_DEFINED,
                                             0xFFFFFFFFul};

constexpr CK_MECHANISM_TYPE kMechanisms[] = {CKM_RSA_PKCS,
                                             CKM_SHA1_RSA_PKCS,
                                             CKM_SHA256_RSA_PKCS,
                                             CKM_SHA512_RSA_PKCS,
                                             CKM_QAV_SM2,
                                             CKM_QAV_SM2_SM3,
                                             CKM_SHA_1,
                                             CKM_SHA256,
                                             CKM_SHA384,
                                             CKM_QAV_SM3,
                                             CKM_RSA_X_509,
                                             CKM_RSA_PKCS_PSS,
                                             CKM_SHA256_RSA_PKCS_PSS,
                                             CKM_RSA_PKCS_OAEP,
                                             CKM_ECDSA,
                                             CKM_MD5,
                                             CKM_SHA224_RSA_PKCS,
                                             CKM_SHA384_RSA_PKCS,
                                             CKM_SHA224,
                                             CKM_SHA512,
                                             CKM_VENDOR_DEFINED,
                                             0xFFFFFFFFul};

constexpr CK_RV kNotInitialized = CKR_CRYPTOKI_NOT_INITIALIZED;

class Run {
public:
    Run(qav::fake::FakePcsc& pcsc, Input& in) : pcsc_(pcsc), in_(in) {}

    void Operations() {
        for (size_t n = 0; n < kMaxOps && !in_.Done(); ++n) Operation(in_.Byte());
    }

    void Stop() {
        if (initialized_) Check("C_Finalize", p11_->C_Finalize(nullptr));
        Require(!initialized_, "never finalised", "C_Finalize", 0);
        Require(QAV_Finalize(0) == QAV_E_NOT_INITIALIZED, "library left started", "C_Finalize", 0);
        Require(pcsc_.OpenContexts() == 0, "a service context left open", "C_Finalize", 0);
        Require(pcsc_.LiveHandles() == 0, "a card connection left open", "C_Finalize", 0);
        Require(pcsc_.OutstandingAllocations() == 0, "service memory kept", "C_Finalize", 0);
    }

private:
    // The promises every call keeps; updates what this run knows of the
    // module's state.
    CK_RV Check(const char* call, CK_RV rv) {
        if (g_trace) std::fprintf(stderr, "%s -> 0x%lX\n", call, static_cast<unsigned long>(rv));
        Require(rv != CKR_GENERAL_ERROR, "an unexpected failure", call, rv);
        const bool lifecycle =
            std::strcmp(call, "C_Initialize") == 0 || std::strcmp(call, "C_Finalize") == 0;
        if (!lifecycle) {
            if (!initialized_) {
                Require(rv == kNotInitialized, "answered before C_Initialize", call, rv);
            } else {
                Require(rv != kNotInitialized, "not initialised after C_Initialize", call, rv);
            }
        }
        if (std::strcmp(call, "C_Initialize") == 0) {
            Require(rv != CKR_OK || !initialized_, "initialised twice", call, rv);
            Require(rv != CKR_CRYPTOKI_ALREADY_INITIALIZED || initialized_,
                    "already initialised while it was not", call, rv);
            if (rv == CKR_OK) initialized_ = true;
        } else if (std::strcmp(call, "C_Finalize") == 0) {
            if (rv == CKR_OK) {
                Require(initialized_, "finalised while not initialised", call, rv);
                initialized_ = false;
                sessions_.clear();
                objects_.clear();
            } else {
                Require(rv == CKR_ARGUMENTS_BAD || rv == kNotInitialized, "finalise failed", call,
                        rv);
            }
        }
        return rv;
    }

    CK_SLOT_ID Slot(uint8_t b) const {
        if (b < 0xF0) return slots_.empty() ? 0 : slots_[b % slots_.size()];
        return b == 0xF0 ? 1 : b == 0xF1 ? ~CK_SLOT_ID{0} : 0x10000u + b;
    }
    CK_SESSION_HANDLE Session(uint8_t b) const {
        if (b < 0xF0) return sessions_.empty() ? 1 : sessions_[b % sessions_.size()];
        return b == 0xF0 ? 0 : b == 0xF1 ? ~CK_SESSION_HANDLE{0} : 0x10000u + b;
    }
    CK_OBJECT_HANDLE Object(uint8_t b) const {
        if (b < 0xF0) return objects_.empty() ? 1 : objects_[b % objects_.size()];
        return b == 0xF0 ? 0 : b == 0xF1 ? ~CK_OBJECT_HANDLE{0} : 0x10000u + b;
    }
    static CK_ULONG Length(uint8_t b) {
        static constexpr CK_ULONG kEdges[] = {0,   1,   20,  31,  32,  63,   64,   127,
                                              128, 255, 256, 257, 512, 1024, 4096, 65537};
        return b < 0xC0 ? b : kEdges[b % std::size(kEdges)];
    }

    void Operation(uint8_t op) {
        switch (op % 24) {
            case 0:
                return Initialize();
            case 1:
                return (void)Check("C_Finalize",
                                   p11_->C_Finalize(in_.Byte() == 1 ? this : nullptr));
            case 2:
                return SlotList();
            case 3:
                return SlotAndTokenInfo();
            case 4:
                return Mechanisms();
            case 5:
                return OpenSession();
            case 6:
                return CloseSession();
            case 7:
                return SessionInfo();
            case 8:
                return Login();
            case 9:
                return (void)Check("C_Logout", p11_->C_Logout(Session(in_.Byte())));
            case 10:
                return FindObjects();
            case 11:
                return GetAttributes();
            case 12:
                return KeyInit(true);
            case 13:
                return Sign();
            case 14:
                return SignParts();
            case 15:
                return KeyInit(false);
            case 16:
                return Decrypt();
            case 17:
                return Digest();
            case 18:
                return Random();
            case 19:
                return SetPin();
            case 20:
                return SlotEvent();
            case 21:
                return ServiceEvent();
            case 22:
                return Unsupported();
            default:
                return Info();
        }
    }

    void Initialize() {
        CK_C_INITIALIZE_ARGS args{};
        const uint8_t b = in_.Byte();
        if ((b & 1) != 0) {
            args.CreateMutex = CreateMutexCb;
            args.DestroyMutex = DestroyMutexCb;
            args.LockMutex = LockMutexCb;
            args.UnlockMutex = UnlockMutexCb;
        }
        if ((b & 2) != 0) args.UnlockMutex = nullptr;  // an incomplete set
        if ((b & 4) != 0) args.flags |= CKF_OS_LOCKING_OK;
        if ((b & 8) != 0) args.flags |= CKF_LIBRARY_CANT_CREATE_OS_THREADS;
        if ((b & 16) != 0) args.pReserved = this;
        const CK_RV rv = Check("C_Initialize", p11_->C_Initialize((b & 32) != 0 ? nullptr : &args));
        if (rv == CKR_OK) SlotList();
    }

    // The size query, then the list: the count it gave has to do.
    void SlotList() {
        const CK_BBOOL present = in_.Byte() & 1;
        CK_ULONG count = 0;
        if (Check("C_GetSlotList", p11_->C_GetSlotList(present, nullptr, &count)) != CKR_OK) {
            (void)Check("C_GetSlotList", p11_->C_GetSlotList(present, nullptr, nullptr));
            return;
        }
        std::vector<CK_SLOT_ID> list(count + 1);
        CK_ULONG given = count;
        if (count > 0 && (in_.Byte() & 1) != 0) {
            // One short: too small, and the count is set to what it takes.
            given = count - 1;
            const CK_RV rv =
                Check("C_GetSlotList", p11_->C_GetSlotList(present, list.data(), &given));
            Require(rv == CKR_BUFFER_TOO_SMALL && given >= count, "a short list", "C_GetSlotList",
                    rv);
            return;
        }
        const CK_RV rv = Check("C_GetSlotList", p11_->C_GetSlotList(present, list.data(), &given));
        Require(rv == CKR_OK && given <= count, "the count it gave was not enough", "C_GetSlotList",
                rv);
        slots_.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(given));
    }

    void SlotAndTokenInfo() {
        const CK_SLOT_ID slot = Slot(in_.Byte());
        const bool null = (in_.Byte() & 1) != 0;
        CK_SLOT_INFO slotInfo{};
        (void)Check("C_GetSlotInfo", p11_->C_GetSlotInfo(slot, null ? nullptr : &slotInfo));
        CK_TOKEN_INFO tokenInfo{};
        (void)Check("C_GetTokenInfo", p11_->C_GetTokenInfo(slot, null ? nullptr : &tokenInfo));
    }

    void Mechanisms() {
        const CK_SLOT_ID slot = Slot(in_.Byte());
        CK_ULONG count = 0;
        const CK_RV rv =
            Check("C_GetMechanismList", p11_->C_GetMechanismList(slot, nullptr, &count));
        if (rv == CKR_OK) {
            const CK_ULONG capacity = count - std::min<CK_ULONG>(count, in_.Byte() & 1);
            auto list = std::make_unique<CK_MECHANISM_TYPE[]>(capacity + 1);
            CK_ULONG given = capacity;
            const CK_RV listed =
                Check("C_GetMechanismList", p11_->C_GetMechanismList(slot, list.get(), &given));
            Require(capacity == count ? listed == CKR_OK && given <= count
                                      : listed == CKR_BUFFER_TOO_SMALL && given >= count,
                    "the size query", "C_GetMechanismList", listed);
        }
        CK_MECHANISM_INFO info{};
        const uint8_t m = in_.Byte();
        (void)Check("C_GetMechanismInfo",
                    p11_->C_GetMechanismInfo(slot, kMechanisms[m % std::size(kMechanisms)],
                                             (m & 0x80) != 0 ? nullptr : &info));
    }

    void OpenSession() {
        const CK_SLOT_ID slot = Slot(in_.Byte());
        const uint8_t f = in_.Byte();
        CK_FLAGS flags = 0;
        if ((f & 1) == 0) flags |= CKF_SERIAL_SESSION;
        if ((f & 2) != 0) flags |= CKF_RW_SESSION;
        if ((f & 4) != 0) flags |= 0x100;
        CK_SESSION_HANDLE session = 0;
        const CK_RV rv = Check(
            "C_OpenSession",
            p11_->C_OpenSession(slot, flags, nullptr, nullptr, (f & 8) != 0 ? nullptr : &session));
        if (rv == CKR_OK) {
            Require(session != CK_INVALID_HANDLE, "handle 0", "C_OpenSession", rv);
            sessions_.push_back(session);
        }
    }

    void CloseSession() {
        const uint8_t b = in_.Byte();
        if ((b & 0x80) != 0) {
            (void)Check("C_CloseAllSessions", p11_->C_CloseAllSessions(Slot(b & 0x7F)));
        } else {
            (void)Check("C_CloseSession", p11_->C_CloseSession(Session(b)));
        }
    }

    void SessionInfo() {
        const uint8_t b = in_.Byte();
        CK_SESSION_INFO info{};
        const CK_RV rv =
            Check("C_GetSessionInfo",
                  p11_->C_GetSessionInfo(Session(b), in_.Byte() == 1 ? nullptr : &info));
        if (rv == CKR_OK) {
            Require(info.state <= CKS_RW_SO_FUNCTIONS, "a state that does not exist",
                    "C_GetSessionInfo", rv);
        }
    }

    // Mostly the right PIN, so the key operations behind it get reached.
    std::string Pin() {
        switch (in_.Byte() % 6) {
            case 0:
            case 1:
            case 2:
                return "12345678";
            case 3:
                return "87654321";
            case 4:
                return std::string();
            default: {
                const Bytes data = in_.Data();
                return std::string(data.begin(), data.end());
            }
        }
    }

    void Login() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        static constexpr CK_USER_TYPE kUsers[] = {CKU_USER, CKU_USER, CKU_SO, CKU_CONTEXT_SPECIFIC,
                                                  7};
        const CK_USER_TYPE user = kUsers[in_.Byte() % std::size(kUsers)];
        std::string pin = Pin();
        const bool null = (in_.Byte() & 1) != 0;
        auto copy = std::make_unique<CK_UTF8CHAR[]>(pin.size() + 1);
        std::memcpy(copy.get(), pin.data(), pin.size());
        (void)Check("C_Login", p11_->C_Login(session, user, null ? nullptr : copy.get(),
                                             null ? 8 : pin.size()));
    }

    // A template from the input: known attribute types with values of the
    // right and the wrong lengths, or none at all.
    struct Template {
        std::vector<CK_ATTRIBUTE> attributes;
        std::vector<std::unique_ptr<uint8_t[]>> values;
    };
    Template MakeTemplate(uint8_t count) {
        Template t;
        for (uint8_t i = 0; i < count; ++i) {
            const uint8_t kind = in_.Byte();
            CK_ATTRIBUTE a{kAttributes[kind % std::size(kAttributes)], nullptr, 0};
            const uint8_t shape = in_.Byte();
            switch (shape % 5) {
                case 0:  // no value, any length
                    a.ulValueLen = Length(in_.Byte());
                    break;
                case 1: {  // a class or key type, or a boolean, as it should be sent
                    static constexpr CK_ULONG kValues[] = {CKO_CERTIFICATE, CKO_PUBLIC_KEY,
                                                           CKO_PRIVATE_KEY, CKO_DATA,
                                                           CKK_RSA,         CKK_QAV_SM2};
                    auto v = std::make_unique<uint8_t[]>(sizeof(CK_ULONG));
                    const CK_ULONG value = kValues[in_.Byte() % std::size(kValues)];
                    std::memcpy(v.get(), &value, sizeof value);
                    a.pValue = v.get();
                    a.ulValueLen = sizeof value;
                    t.values.push_back(std::move(v));
                    break;
                }
                case 2: {  // a container's name
                    static const char* const kLabels[] = {"QAV-RSA1024", "QAV-RSA2048",
                                                          "QAV-SM2-Seal", "QAV-SM2-Spare", "X"};
                    const char* label = kLabels[in_.Byte() % std::size(kLabels)];
                    const size_t n = std::strlen(label);
                    auto v = std::make_unique<uint8_t[]>(n);
                    std::memcpy(v.get(), label, n);
                    a.pValue = v.get();
                    a.ulValueLen = n;
                    t.values.push_back(std::move(v));
                    break;
                }
                default: {  // bytes of odd lengths
                    const Bytes data = in_.Data();
                    auto v = std::make_unique<uint8_t[]>(data.size() + 1);
                    std::copy(data.begin(), data.end(), v.get());
                    a.pValue = v.get();
                    a.ulValueLen = data.size();
                    t.values.push_back(std::move(v));
                    break;
                }
            }
            t.attributes.push_back(a);
        }
        return t;
    }

    void FindObjects() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        const uint8_t shape = in_.Byte();
        Template t = MakeTemplate(shape % 5);
        const bool nullTemplate = (shape & 0x80) != 0;
        const CK_RV rv =
            Check("C_FindObjectsInit",
                  p11_->C_FindObjectsInit(session, nullTemplate ? nullptr : t.attributes.data(),
                                          t.attributes.size()));
        const CK_ULONG max = in_.Byte() % 10;
        auto found = std::make_unique<CK_OBJECT_HANDLE[]>(max + 1);
        CK_ULONG count = 0;
        const CK_RV listed = Check(
            "C_FindObjects",
            p11_->C_FindObjects(session, (shape & 0x40) != 0 ? nullptr : found.get(), max, &count));
        if (listed == CKR_OK) {
            Require(count <= max, "more objects than asked for", "C_FindObjects", listed);
            for (CK_ULONG i = 0; i < count; ++i) {
                if (std::find(objects_.begin(), objects_.end(), found[i]) == objects_.end()) {
                    objects_.push_back(found[i]);
                }
            }
        }
        if (rv == CKR_OK && (shape & 0x20) == 0) {
            Require(Check("C_FindObjectsFinal", p11_->C_FindObjectsFinal(session)) == CKR_OK,
                    "no search to end", "C_FindObjectsFinal", rv);
        }
    }

    // The size query, then buffers of exactly that length (or one short):
    // every attribute that had a length has to fit in it.
    void GetAttributes() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        const CK_OBJECT_HANDLE object = Object(in_.Byte());
        const uint8_t shape = in_.Byte();
        Template t = MakeTemplate(1 + shape % 4);
        for (auto& a : t.attributes) {
            a.pValue = nullptr;
            a.ulValueLen = 0;
        }
        const CK_ULONG count = t.attributes.size();
        if ((shape & 0x80) != 0) {
            (void)Check("C_GetAttributeValue",
                        p11_->C_GetAttributeValue(session, object, nullptr, count));
            return;
        }
        const CK_RV sized =
            Check("C_GetAttributeValue",
                  p11_->C_GetAttributeValue(session, object, t.attributes.data(), count));
        if (sized != CKR_OK && sized != CKR_ATTRIBUTE_SENSITIVE &&
            sized != CKR_ATTRIBUTE_TYPE_INVALID) {
            return;
        }
        const bool shorten = (shape & 0x40) != 0;
        std::vector<CK_ULONG> wanted;
        std::vector<std::unique_ptr<uint8_t[]>> buffers;
        bool anyShort = false;
        for (auto& a : t.attributes) {
            wanted.push_back(a.ulValueLen);
            if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) continue;
            Require(a.ulValueLen <= (1u << 20), "an attribute too long to be true",
                    "C_GetAttributeValue", sized);
            CK_ULONG length = a.ulValueLen;
            if (shorten && length > 0) {
                --length;
                anyShort = true;
            }
            // Exactly as long as said, so a write beyond it is caught.
            buffers.push_back(std::make_unique<uint8_t[]>(length));
            a.pValue = length == 0 ? nullptr : buffers.back().get();
            a.ulValueLen = length;
        }
        const CK_RV rv =
            Check("C_GetAttributeValue",
                  p11_->C_GetAttributeValue(session, object, t.attributes.data(), count));
        Require(rv == sized || (anyShort && rv == CKR_BUFFER_TOO_SMALL) ||
                    rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_HANDLE_INVALID ||
                    rv == CKR_OBJECT_HANDLE_INVALID,
                "a second answer unlike the first", "C_GetAttributeValue", rv);
        if (rv == sized && !anyShort) {
            for (size_t i = 0; i < t.attributes.size(); ++i) {
                Require(t.attributes[i].ulValueLen == wanted[i], "a length that changed",
                        "C_GetAttributeValue", rv);
            }
        }
    }

    // Mechanisms with their parameters, well formed or not.
    struct Mechanism {
        CK_MECHANISM mechanism{};
        CK_RSA_PKCS_PSS_PARAMS pss{};
        CK_RSA_PKCS_OAEP_PARAMS oaep{};
        Bytes raw;
    };
    void MakeMechanism(Mechanism* m) {
        const uint8_t b = in_.Byte();
        m->mechanism.mechanism = kMechanisms[b % std::size(kMechanisms)];
        switch (in_.Byte() % 6) {
            case 0:
            case 1:
                break;
            case 2:
                m->pss = {CKM_SHA256, CKG_MGF1_SHA256, in_.Byte()};
                m->mechanism.pParameter = &m->pss;
                m->mechanism.ulParameterLen = sizeof m->pss - (in_.Byte() & 1);
                break;
            case 3:
                m->oaep = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
                if ((in_.Byte() & 1) != 0) m->oaep.ulSourceDataLen = 16;  // with no data
                m->mechanism.pParameter = &m->oaep;
                m->mechanism.ulParameterLen = sizeof m->oaep;
                break;
            case 4:
                m->raw = in_.Data();
                m->raw.push_back(0);
                m->mechanism.pParameter = m->raw.data();
                m->mechanism.ulParameterLen = m->raw.size() - 1;
                break;
            default:
                m->mechanism.pParameter = nullptr;
                m->mechanism.ulParameterLen = Length(in_.Byte());
                break;
        }
    }

    void KeyInit(bool sign) {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        const CK_OBJECT_HANDLE key = Object(in_.Byte());
        Mechanism m;
        MakeMechanism(&m);
        const bool null = (in_.Byte() & 0x80) != 0;
        if (sign) {
            (void)Check("C_SignInit",
                        p11_->C_SignInit(session, null ? nullptr : &m.mechanism, key));
        } else {
            (void)Check("C_DecryptInit",
                        p11_->C_DecryptInit(session, null ? nullptr : &m.mechanism, key));
        }
    }

    // Data from the input, or edge-length filler.
    Bytes Data() {
        const uint8_t b = in_.Byte();
        if ((b & 0x80) == 0) return in_.Data();
        Bytes data(Length(0xC0 | (b & 0x0F)), 0x5A);
        if (!data.empty()) data[0] = 0;  // below any modulus
        return data;
    }

    // One-shot and its output protocol: the size it asks for is enough; a
    // buffer too small keeps the operation going.
    template <typename Call>
    void OneShot(const char* name, Call call) {
        Bytes data = Data();
        const uint8_t b = in_.Byte();
        CK_ULONG length = 0;
        const CK_RV sized = Check(name, call(data.data(), data.size(), nullptr, &length));
        if (sized != CKR_OK) return;
        Require(length > 0 && length <= 8192, "a size not to be believed", name, sized);
        const CK_ULONG capacity = (b & 1) != 0 ? 0 : (b & 2) != 0 ? length - 1 : length;
        auto out = std::make_unique<uint8_t[]>(capacity);
        CK_ULONG given = capacity;
        const CK_RV rv = Check(name, call(data.data(), data.size(), out.get(), &given));
        if (rv == CKR_BUFFER_TOO_SMALL) {
            Require(capacity < length, "too small for the size it asked for", name, rv);
            Require(given > capacity, "too small, but the size it gives fits", name, rv);
            // Still going: the same call with room ends it.
            auto room = std::make_unique<uint8_t[]>(length);
            given = length;
            const CK_RV again = Check(name, call(data.data(), data.size(), room.get(), &given));
            Require(again != CKR_OPERATION_NOT_INITIALIZED, "ended by a short buffer", name, again);
        } else if (rv == CKR_OK) {
            Require(given <= capacity, "more written than room", name, rv);
        }
    }

    void Sign() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        OneShot("C_Sign", [&](CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
            return p11_->C_Sign(session, d, n, out, len);
        });
    }

    void Decrypt() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        OneShot("C_Decrypt", [&](CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
            return p11_->C_Decrypt(session, d, n, out, len);
        });
    }

    void SignParts() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        const uint8_t parts = in_.Byte() % 4;
        for (uint8_t i = 0; i < parts; ++i) {
            Bytes data = Data();
            (void)Check(
                "C_SignUpdate",
                p11_->C_SignUpdate(session, data.empty() ? nullptr : data.data(), data.size()));
        }
        OneShot("C_SignFinal", [&](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) {
            return p11_->C_SignFinal(session, out, len);
        });
    }

    void Digest() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        Mechanism m;
        MakeMechanism(&m);
        (void)Check("C_DigestInit", p11_->C_DigestInit(session, &m.mechanism));
        if ((in_.Byte() & 1) != 0) {
            OneShot("C_Digest", [&](CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR out, CK_ULONG_PTR len) {
                return p11_->C_Digest(session, d, n, out, len);
            });
            return;
        }
        Bytes data = Data();
        (void)Check("C_DigestUpdate", p11_->C_DigestUpdate(session, data.data(), data.size()));
        OneShot("C_DigestFinal", [&](CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR len) {
            return p11_->C_DigestFinal(session, out, len);
        });
    }

    void Random() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        const CK_ULONG length = Length(in_.Byte());
        auto out = std::make_unique<uint8_t[]>(length);
        (void)Check("C_GenerateRandom",
                    p11_->C_GenerateRandom(session, length == 0 ? nullptr : out.get(), length));
        Bytes seed = in_.Data();
        (void)Check("C_SeedRandom", p11_->C_SeedRandom(session, seed.data(), seed.size()));
    }

    void SetPin() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        std::string oldPin = Pin();
        std::string newPin = Pin();
        (void)Check(
            "C_SetPIN",
            p11_->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                           reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size()));
    }

    // Never blocking: a blocked wait has no one to end it here.
    void SlotEvent() {
        CK_SLOT_ID slot = 0;
        const bool null = (in_.Byte() & 1) != 0;
        (void)Check("C_WaitForSlotEvent",
                    p11_->C_WaitForSlotEvent(CKF_DONT_BLOCK, null ? nullptr : &slot, nullptr));
    }

    void ServiceEvent() {
        const uint8_t b = in_.Byte();
        switch (b % 6) {
            case 0:
                pcsc_.RemoveCard(kReader);
                break;
            case 1:
                pcsc_.RemoveCard(kReader);
                InsertKey();
                break;
            case 2: {
                static constexpr uint32_t kFaults[] = {0x80100069u, 0x80100068u, 0x80100013u,
                                                       0x8010001Du, 0x80100016u};
                pcsc_.Inject(qav::fake::Call::Transmit, kFaults[in_.Byte() % std::size(kFaults)]);
                break;
            }
            case 3:
                pcsc_.DropAllContexts();
                break;
            default:
                if (key_) {
                    const uint8_t skip = in_.Byte() % 16;
                    const uint8_t at = in_.Byte();
                    key_->Arm(skip, (b & 0x80) != 0, at, in_.Byte());
                }
                break;
        }
    }

    // What a read-only module refuses, with garbage arguments.
    void Unsupported() {
        const CK_SESSION_HANDLE session = Session(in_.Byte());
        Template t = MakeTemplate(in_.Byte() % 3);
        CK_OBJECT_HANDLE object = 0;
        CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
        CK_BYTE buffer[16] = {};
        CK_ULONG length = sizeof buffer;
        switch (in_.Byte() % 7) {
            case 0:
                (void)Check("C_CreateObject", p11_->C_CreateObject(session, t.attributes.data(),
                                                                   t.attributes.size(), &object));
                break;
            case 1:
                (void)Check("C_DestroyObject", p11_->C_DestroyObject(session, Object(in_.Byte())));
                break;
            case 2:
                (void)Check("C_SetAttributeValue",
                            p11_->C_SetAttributeValue(session, Object(in_.Byte()),
                                                      t.attributes.data(), t.attributes.size()));
                break;
            case 3:
                (void)Check("C_EncryptInit", p11_->C_EncryptInit(session, &m, Object(in_.Byte())));
                break;
            case 4:
                (void)Check("C_VerifyInit", p11_->C_VerifyInit(session, &m, Object(in_.Byte())));
                break;
            case 5:
                (void)Check("C_GetObjectSize",
                            p11_->C_GetObjectSize(session, Object(in_.Byte()),
                                                  (in_.Byte() & 1) != 0 ? nullptr : &length));
                break;
            default:
                (void)Check("C_InitPIN", p11_->C_InitPIN(session, buffer, 8));
                break;
        }
    }

    void Info() {
        CK_INFO info{};
        (void)Check("C_GetInfo", p11_->C_GetInfo((in_.Byte() & 1) != 0 ? nullptr : &info));
        CK_ULONG count = 0;
        // Interfaces answer whether initialised or not.
        Require(C_GetInterfaceList(nullptr, &count) == CKR_OK && count > 0, "no interfaces",
                "C_GetInterfaceList", 0);
        CK_INTERFACE_PTR found = nullptr;
        CK_VERSION version{static_cast<CK_BYTE>(in_.Byte() % 4), 0};
        const CK_RV rv =
            C_GetInterface(nullptr, (in_.Byte() & 1) != 0 ? &version : nullptr, &found, 0);
        Require(rv == CKR_OK || rv == CKR_ARGUMENTS_BAD, "an interface lookup failed",
                "C_GetInterface", rv);
    }

public:
    void InsertKey() {
        key_ = std::make_shared<TamperedKey>(vcard::SealCard::FromJson(g_image));
        pcsc_.InsertCard(kReader, key_);
    }
    void Begin() {
        Require(C_GetFunctionList(&p11_) == CKR_OK && p11_ != nullptr, "no function list",
                "C_GetFunctionList", 0);
    }

private:
    qav::fake::FakePcsc& pcsc_;
    Input& in_;
    CK_FUNCTION_LIST_PTR p11_ = nullptr;
    std::shared_ptr<TamperedKey> key_;
    bool initialized_ = false;
    std::vector<CK_SLOT_ID> slots_;
    std::vector<CK_SESSION_HANDLE> sessions_;
    std::vector<CK_OBJECT_HANDLE> objects_;
};

}  // namespace

// The virtual key draws its seal pictures with cairo, whose text API keeps
// fontconfig's process-wide cache until exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Retries and polls pause for nothing.
    qav::platform::SetSleepFunction([](uint32_t) {});
    std::string folder = std::filesystem::exists("/dev/shm") ? "/dev/shm/qavseal-p11fuzz-XXXXXX"
                                                             : "/tmp/qavseal-p11fuzz-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    g_configRoot = folder;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_configRoot, ignored);
    });
    // One key for every run; each run gets a fresh copy of its image.
    g_image = vcard::SealCard::CreateDefault()->ToJson();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A card database of its own for every run, so no run finds what an
    // earlier one learnt about the card.
    static unsigned serial = 0;
    std::error_code ignored;
    std::filesystem::remove_all(g_configRoot + "/" + std::to_string(serial), ignored);
    const std::string folder = g_configRoot + "/" + std::to_string(++serial);
    std::filesystem::create_directory(folder, ignored);
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);

    qav::fake::FakePcsc pcsc;
    pcsc.AddReader(kReader);
    Input in(data, size);
    Run run(pcsc, in);
    run.Begin();
    run.InsertKey();
    run.Operations();
    run.Stop();
    return 0;
}
