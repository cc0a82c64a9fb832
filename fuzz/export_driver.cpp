#include "fuzz/export_driver.h"

#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>

#include "api/frame.h"
#include "fuzz/export_rules.h"
#include "platform/wait.h"
#include "qavseal/qavseal.h"
#include "reader/card_database.h"

namespace qav::fuzz {
namespace {

using fake::Call;
using fake::FakePcsc;

std::string g_configRoot;
const bool g_trace = std::getenv("QAV_FUZZ_TRACE") != nullptr;  // prints each export's result

[[noreturn]] void Broken(const char* what, const char* name, uint32_t rc) {
    std::fprintf(stderr, "export fuzz: %s: %s returned 0x%08X\n", what, name,
                 static_cast<unsigned>(rc));
    std::abort();
}

void Require(bool condition, const char* what, const char* name, uint32_t rc) {
    if (!condition) Broken(what, name, rc);
}

// Numbers for selectors, identifiers and offsets: small ones as they come,
// the rest from the edges the library has to get right.
constexpr std::array<uint32_t, 24> kEdges = {
    0x80,   0xFF,   0x100,  0x101,  0x1011,  0x2004,     0x2F01,     0x3000,
    0x4000, 0xA0F3, 0xFFFE, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
    3,      7,      24,     27,     31,      32,         64,         0xFFFFFFFE};
uint32_t Value(uint8_t b) { return b < 0x80 ? b : kEdges[(b - 0x80u) % kEdges.size()]; }

// Lengths of caller buffers: the buffer is always made this long.
constexpr std::array<uint32_t, 16> kLengths = {128, 200, 255,  256,  257,  300,  417,   480,
                                               500, 512, 1024, 1100, 2048, 4096, 40000, 65};
uint32_t Length(uint8_t b) { return b < 0x80 ? b : kLengths[(b - 0x80u) % kLengths.size()]; }

// A length whose buffer may be absent: then any value, else Length().
uint32_t Capacity(uint8_t b, bool absent) { return absent ? Value(b) : Length(b); }

const char* const kContainers[] = {
    "QAV-SM2-Seal",
    "QAV-RSA1024",
    "QAV-RSA2048",
    "QAV-SM2-Spare",
    "",
    nullptr,
    "X",
    "A-container-name-longer-than-any-record-on-the-card-0123456789"};
const char* Container(uint8_t b) { return kContainers[b % std::size(kContainers)]; }

const char* const kPins[] = {
    "12345678", "87654321", "1234",     "123", "1234567890123456", "12345678901234567",
    "12a4",     nullptr,    "ABCDEF12", "",    "12 45678"};
const char* Pin(uint8_t b) { return kPins[b % std::size(kPins)]; }

const std::string kLongText(300, 'T');
const char* Text(uint8_t b) {
    switch (b % 4) {
        case 0:
            return nullptr;
        case 1:
            return "";
        case 2:
            return "seal text";
        default:
            return kLongText.c_str();
    }
}

// Caller data; an empty one still has an address, as a caller's would.
Bytes Pattern(uint32_t length, uint8_t seed) {
    Bytes bytes;
    bytes.reserve(std::max(length, 1u));
    bytes.resize(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

// A buffer the library may write up to its length into; null when absent.
// A present buffer of length 0 still has an address.
struct Out {
    Out(uint32_t length, bool absent) : bytes(absent ? 0 : std::max(length, 1u)), null(absent) {}
    uint8_t* data() { return null ? nullptr : bytes.data(); }
    Bytes bytes;
    bool null;
};

// A caller buffer and its in/out length, either of them possibly absent.
struct ExactCapacity {
    uint32_t value;
};
class Filled {
public:
    Filled(ExactCapacity capacity, bool noBuffer, bool noLength)
        : capacity_(capacity.value),
          out_(capacity_, noBuffer),
          length_(capacity_),
          noLength_(noLength) {}
    Filled(uint8_t capacity, bool noBuffer, bool noLength)
        : Filled(ExactCapacity{Capacity(capacity, noBuffer)}, noBuffer, noLength) {}
    uint8_t* data() { return out_.data(); }
    char* text() { return reinterpret_cast<char*>(out_.data()); }
    uint32_t* length() { return noLength_ ? nullptr : &length_; }
    // A length reported with success never exceeds the buffer.
    uint32_t Checked(const char* name, uint32_t rc) const {
        if (rc == QAV_OK && !out_.null && length_ > capacity_)
            Broken("length beyond", name, length_);
        return rc;
    }
    bool Present() const { return !out_.null; }
    uint32_t Reported() const { return length_; }
    const Bytes& bytes() const { return out_.bytes; }

private:
    const uint32_t capacity_;
    Out out_;
    uint32_t length_;
    const bool noLength_;
};

// ---- Callbacks -------------------------------------------------------------

enum class Behaviour { kGood, kFail, kReenter };
Behaviour g_behaviour = Behaviour::kGood;
QAV_HANDLE g_currentHandle = 0;
uint32_t g_lastPercent = 0;
bool g_inCallback = false;

// A callback may call the library on the same handle; the call it makes
// has to keep its own promises too.
void Reenter() {
    if (g_behaviour != Behaviour::kReenter || g_inCallback) return;
    g_inCallback = true;
    uint8_t random[16];
    const uint32_t rc = QAV_GenRandom(g_currentHandle, random, sizeof random, 1);
    Require(Allowed(kGenRandom, rc), "undocumented result from a callback", "QAV_GenRandom", rc);
    g_inCallback = false;
}

uint32_t Encrypted(const uint8_t* plain, uint32_t plainLength, uint8_t* out, uint32_t* outLength) {
    Reenter();
    if (g_behaviour == Behaviour::kFail) return kCallbackFailure;
    const uint32_t padded = (plainLength / 16 + 1) * 16;
    if (padded > *outLength) return kCallbackFailure;
    for (uint32_t i = 0; i < padded; ++i) out[i] = i < plainLength ? plain[i] ^ 0x5A : 0;
    *outLength = padded;
    return QAV_OK;
}

uint32_t QAV_CALLBACK EncryptResult(const uint8_t*, uint32_t, const uint8_t* plain,
                                    uint32_t plainLength, uint8_t* out, uint32_t* outLength,
                                    uintptr_t, uintptr_t) {
    return Encrypted(plain, plainLength, out, outLength);
}

// The PIN reload reads the encryption's result as a truth value.
uint32_t QAV_CALLBACK EncryptTruth(const uint8_t*, uint32_t, const uint8_t* plain,
                                   uint32_t plainLength, uint8_t* out, uint32_t* outLength,
                                   uintptr_t, uintptr_t) {
    return Encrypted(plain, plainLength, out, outLength) == QAV_OK ? 1 : 0;
}

uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t* mac,
                          uintptr_t, uintptr_t) {
    Reenter();
    if (g_behaviour == Behaviour::kFail) return kCallbackFailure;
    std::memset(mac, 0x4D, 4);
    return QAV_OK;
}

uint32_t QAV_CALLBACK Cryptogram(const uint8_t*, uint32_t, uint8_t* out, uint32_t* outLength,
                                 uintptr_t, uintptr_t) {
    Reenter();
    if (g_behaviour == Behaviour::kFail || *outLength < 8) return kCallbackFailure;
    std::memset(out, 0x3C, 8);
    *outLength = 8;
    return QAV_OK;
}

uint32_t QAV_CALLBACK Progress(uint32_t percent, uintptr_t, uint32_t) {
    Require(percent <= 100 && percent >= g_lastPercent, "progress out of order", "progress",
            percent);
    g_lastPercent = percent;
    return 0;
}

uint32_t QAV_CALLBACK DeviceChanged(const char* name, uint32_t arrived, uintptr_t, uint32_t) {
    Require(name != nullptr && arrived <= 1, "bad device-change report", "watch", arrived);
    return 0;
}

// 0: none, 1: one that works, 2: one that fails.
template <typename F>
F Pick(uint8_t b, F good) {
    return b % 3 == 0 ? nullptr : good;
}
Behaviour BehaviourOf(uint8_t b) {
    switch (b % 4) {
        case 1:
            return Behaviour::kFail;
        case 2:
            return Behaviour::kReenter;
        default:
            return Behaviour::kGood;
    }
}

bool LibraryStarted() {
    const std::lock_guard<std::mutex> lock(api::StateLock());
    return api::State().manager != nullptr;
}

// ---- The run ---------------------------------------------------------------

constexpr Call kFaultCalls[] = {
    Call::EstablishContext, Call::ReleaseContext, Call::ListReaders, Call::GetStatusChange,
    Call::Connect,          Call::Reconnect,      Call::Disconnect,  Call::Transmit,
    Call::BeginTransaction, Call::EndTransaction};
constexpr uint32_t kFaultCodes[] = {
    0x80100069u /* removed card */,   0x80100068u /* reset card */,
    0x8010001Du /* no service */,     0x80100013u /* comm error */,
    0x80100003u /* invalid handle */, 0x80100017u /* reader unavailable */,
    0x8010000Cu /* no smart card */,  0x80100066u /* unresponsive card */,
    0x8010000Au /* timeout */,        0x80100016u /* not transacted */};

class Run {
public:
    Run(const Scenario& scenario, std::shared_ptr<fake::FakeCard> card, FakePcsc& pcsc)
        : scenario_(scenario), card_(std::move(card)), pcsc_(pcsc) {}

    void Operations() {
        for (const auto& op : scenario_.ops) Operation(op);
    }

    // Stops the library, whatever faults are still queued, and checks that
    // it let go of everything it had from the service.
    void Stop() {
        pcsc_.SetServiceRunning(true);
        uint32_t rc = QAV_OK;
        for (int i = 0; i < 64; ++i) {
            rc = QAV_Finalize(0);
            if (rc != QAV_E_NOT_INITIALIZED) continue;
            // A failed last call leaves the library started with a count of
            // 0: it takes a new start to stop it.
            if (!LibraryStarted()) break;
            (void)QAV_Initialize(0);
        }
        Require(!LibraryStarted(), "never stopped", "QAV_Finalize", rc);
        Require(pcsc_.LiveHandles() == 0, "a card connection left open", "QAV_Finalize", 0);
        if (g_trace) {
            std::fprintf(stderr, "contexts: %d made, %d released, %zu open\n",
                         pcsc_.Count(Call::EstablishContext), pcsc_.Count(Call::ReleaseContext),
                         pcsc_.OpenContexts());
        }
        Require(pcsc_.OpenContexts() == 0, "a service context left open", "QAV_Finalize", 0);
        Require(pcsc_.OutstandingAllocations() == 0, "service memory kept", "QAV_Finalize", 0);
    }

private:
    QAV_HANDLE Handle(uint8_t b) const {
        switch (b % 8) {
            case 4:
                return 0;
            case 5:
                return 1;
            case 6:
                return reinterpret_cast<QAV_HANDLE>(&kEdges);
            case 7:
                return lastClosed_;
            default:
                return slots_[b % 4];
        }
    }
    QAV_SessionKey* Key(uint8_t b) const {
        switch (b % 6) {
            case 4:
                return nullptr;
            case 5:
                // Never handed out: only its address may be looked at.
                return reinterpret_cast<QAV_SessionKey*>(const_cast<uint32_t*>(kLengths.data()));
            default:
                return keys_[b % 4];
        }
    }

    // The checks every export shares, then its own list.
    void Check(ExportId id, uint32_t rc, bool takesHandle, bool wasStarted, bool knownHandle) {
        const char* name = Rule(id).name;
        if (g_trace) std::fprintf(stderr, "%s -> 0x%08X\n", name, static_cast<unsigned>(rc));
        if (!wasStarted && id != kInitialize) {
            Require(rc == QAV_E_NOT_INITIALIZED, "not initialised yet answered", name, rc);
        } else if (takesHandle && !knownHandle) {
            Require(rc == QAV_E_INVALID_HANDLE, "a handle never opened or closed", name, rc);
        }
        Require(Allowed(id, rc), "undocumented result", name, rc);
    }

    // Tries-left outputs follow the PIN results.
    static void CheckTries(ExportId id, uint32_t rc, const uint32_t* tries) {
        if (tries == nullptr) return;
        if (rc == QAV_E_PIN_BLOCKED) Require(*tries == 0, "blocked, tries", Rule(id).name, *tries);
        if (rc == QAV_E_PIN_WRONG) Require(*tries <= 15, "wrong PIN, tries", Rule(id).name, *tries);
    }

    void Operation(const std::array<uint8_t, kOpSize>& a) {
        const auto id = static_cast<ExportId>(a[0] % kOperationCount);
        const QAV_HANDLE h = Handle(a[1]);
        const bool wasStarted = started_;
        const bool knownHandle = open_.count(h) != 0;
        g_currentHandle = h;
        g_lastPercent = 0;
        g_behaviour = Behaviour::kGood;
        uint32_t rc = QAV_OK;
        bool takesHandle = true;
        switch (id) {
            case kInitialize:
                rc = QAV_Initialize(0);
                takesHandle = false;
                if (rc == QAV_OK) {
                    ++usage_;
                    started_ = true;
                } else if (!started_) {
                    // The manager outlives a failed start, and exports then
                    // meet its stopped factory rather than the first check.
                    managerLeft_ = true;
                }
                break;
            case kFinalize:
                rc = QAV_Finalize(0);
                takesHandle = false;
                if (rc != QAV_E_NOT_INITIALIZED && usage_ > 0 && --usage_ == 0 && rc == QAV_OK) {
                    // A last call that fails keeps the library started.
                    started_ = false;
                    managerLeft_ = false;
                    open_.clear();
                }
                break;
            case kGetDeviceList: {
                char** names = nullptr;
                uint32_t count = 0;
                rc = QAV_GetDeviceList((a[2] & 1) ? nullptr : &names, (a[2] & 2) ? nullptr : &count,
                                       Value(a[3]));
                takesHandle = false;
                if (rc == QAV_OK) {
                    Require(count > 0 && names != nullptr, "an empty list", "QAV_GetDeviceList",
                            rc);
                    for (uint32_t i = 0; i < count; ++i) (void)std::strlen(names[i]);
                }
                break;
            }
            case kOpenDevice: {
                const char* const names[] = {ReaderName(scenario_.flags), "No Such Reader 00",
                                             nullptr, "ADM Virtual Seal 00 00"};
                QAV_HANDLE opened = 0;
                rc = QAV_OpenDevice(names[a[2] % 4], (a[3] & 1) ? nullptr : &opened, 0);
                takesHandle = false;
                if (rc == QAV_OK) {
                    Require(open_.insert(opened).second, "a handle given twice", "QAV_OpenDevice",
                            rc);
                    slots_[a[4] % 4] = opened;
                }
                break;
            }
            case kCloseDevice:
                rc = QAV_CloseDevice(h, 0);
                if (rc == QAV_OK) {
                    open_.erase(h);
                    lastClosed_ = h;
                }
                break;
            case kLock:
                rc = QAV_Lock(h, 0);
                break;
            case kUnlock:
                rc = QAV_Unlock(h, 0);
                break;
            case kTransmit: {
                Bytes command = Pattern(Length(a[2]) % 300, a[3]);
                if (command.size() >= 4) {
                    command[0] = a[3] & 0x84;
                    command[1] = a[4];
                }
                Filled response(a[5], a[6] & 1, a[6] & 4);
                uint32_t sw = 0;
                rc = response.Checked(
                    Rule(id).name,
                    QAV_Transmit(h, (a[6] & 2) ? nullptr : command.data(),
                                 static_cast<uint32_t>(command.size()), response.data(),
                                 response.length(), (a[6] & 8) ? nullptr : &sw, 0));
                break;
            }
            case kReset:
                rc = QAV_Reset(h, 0);
                break;
            case kGetState: {
                uint32_t state = 0xA5A5;
                const uint32_t kind = Value(a[2]);
                rc = QAV_GetState(h, kind, (a[3] & 1) ? nullptr : &state, 0);
                if (rc == QAV_OK) {
                    Require(kind == 4 ? state >= 1 && state <= 4 : state <= 1, "state out of range",
                            "QAV_GetState", state);
                }
                break;
            }
            case kClearSecureState:
                rc = QAV_ClearSecureState(h, 0);
                break;
            case kGetSealDeviceAbility: {
                uint32_t f1 = 0;
                uint32_t f2 = 0;
                rc = QAV_GetSealDeviceAbility(h, (a[2] & 1) ? nullptr : &f1,
                                              (a[2] & 2) ? nullptr : &f2, 0);
                if (rc == QAV_OK) Require(f1 <= f2 && f2 <= 1, "ability flags", "ability", f1);
                break;
            }
            case kGetAbilityInfo: {
                Out info(64, (a[2] & 1) != 0);
                rc = QAV_GetAbilityInfo(h, info.data(), 0);
                break;
            }
            case kVerifyPin: {
                uint32_t tries = 0xA5;
                uint32_t* triesOut = (a[3] & 1) ? nullptr : &tries;
                rc = QAV_VerifyPIN(h, Pin(a[2]), triesOut, a[4] % 3 == 2 ? Value(a[5]) : 0);
                CheckTries(id, rc, triesOut);
                break;
            }
            case kChangePin: {
                uint32_t tries = 0xA5;
                uint32_t* triesOut = (a[4] & 1) ? nullptr : &tries;
                rc = QAV_ChangePIN(h, Pin(a[2]), Pin(a[3]), triesOut,
                                   a[5] % 3 == 2 ? Value(a[6]) : 0);
                CheckTries(id, rc, triesOut);
                break;
            }
            case kReloadPin: {
                uint32_t tries = 0xA5;
                uint32_t* triesOut = (a[6] & 1) ? nullptr : &tries;
                g_behaviour = BehaviourOf(a[7]);
                rc = QAV_ReloadPIN(h, Value(a[2]), Pick<QAV_EncryptCallback>(a[3], EncryptTruth),
                                   Pick<QAV_MacCallback>(a[4], Mac), Pin(a[5]), triesOut, 1, 2);
                CheckTries(id, rc, triesOut);
                break;
            }
            case kGenRandom: {
                const uint32_t length = Length(a[2]);
                Out out(length, (a[3] & 1) != 0);
                rc = QAV_GenRandom(h, out.data(), length, Value(a[4]));
                break;
            }
            case kReadFile: {
                const uint32_t length = Length(a[5]);
                Out out(length, (a[4] & 1) != 0);
                rc = QAV_ReadFile(h, Value(a[2]), Value(a[3]), out.data(), length,
                                  Pick<QAV_ProgressCallback>(a[6], Progress), 7, Value(a[7]));
                break;
            }
            case kWriteFile: {
                const Bytes data = Pattern(Length(a[4]), a[2]);
                g_behaviour = BehaviourOf(a[7] >> 4);
                rc = QAV_WriteFile(h, Value(a[2]), Value(a[3]), (a[7] & 1) ? nullptr : data.data(),
                                   static_cast<uint32_t>(data.size()), Value(a[5]),
                                   Pick<QAV_EncryptCallback>(a[6], EncryptResult),
                                   Pick<QAV_MacCallback>(a[6] / 3, Mac),
                                   Pick<QAV_ProgressCallback>(a[6] / 9, Progress), 7, 8);
                break;
            }
            case kHash: {
                const Bytes data = Pattern(Length(a[4]), a[3]);
                Filled out(a[6], a[5] & 2, a[5] & 4);
                rc = out.Checked(Rule(id).name, QAV_Hash(h, Value(a[2]), Value(a[3]),
                                                         (a[5] & 1) ? nullptr : data.data(),
                                                         static_cast<uint32_t>(data.size()),
                                                         out.data(), out.length(), Value(a[7])));
                break;
            }
            case kInternalAuth: {
                const Bytes data = Pattern(Length(a[3]), a[2]);
                Filled out(a[5], a[4] & 2, a[4] & 4);
                rc =
                    out.Checked(Rule(id).name,
                                QAV_InternalAuth(h, Value(a[2]), (a[4] & 1) ? nullptr : data.data(),
                                                 static_cast<uint32_t>(data.size()), out.data(),
                                                 out.length(), Value(a[6])));
                break;
            }
            case kExternalAuth: {
                uint32_t tries = 0xA5;
                uint32_t* triesOut = (a[5] & 1) ? nullptr : &tries;
                g_behaviour = BehaviourOf(a[6]);
                rc = QAV_ExternalAuth(h, Value(a[2]), Value(a[3]),
                                      Pick<QAV_CryptogramCallback>(a[4], Cryptogram), triesOut, 1,
                                      2);
                CheckTries(id, rc, triesOut);
                break;
            }
            case kDeliveryKey: {
                const Bytes key = Pattern(Length(a[5]), a[3]);
                rc = QAV_DeliveryKey(h, Value(a[2]), Value(a[3]), (a[4] & 1) ? nullptr : key.data(),
                                     static_cast<uint32_t>(key.size()), 0);
                break;
            }
            case kGenerateToken1: {
                Filled out(a[5], a[4] & 1, a[4] & 2);
                rc = out.Checked(Rule(id).name, QAV_GenerateToken1(h, Value(a[2]), Value(a[3]),
                                                                   out.data(), out.length(), 0));
                break;
            }
            case kGenerateSk: {
                const Bytes data = Pattern(Length(a[5]), a[3]);
                rc = QAV_GenerateSK(h, Value(a[2]), Value(a[3]), (a[4] & 1) ? nullptr : data.data(),
                                    static_cast<uint32_t>(data.size()), 0);
                break;
            }
            case kExportAppAuthKey: {
                Filled out(a[4], a[3] & 1, a[3] & 2);
                rc = out.Checked(Rule(id).name,
                                 QAV_ExportAppAuthKey(h, Value(a[2]), out.data(), out.length(), 0));
                break;
            }
            case kCipherDataEncrypt:
            case kCipherDataDecrypt:
            case kCipherDataMac: {
                const Bytes iv = Pattern(Length(a[3]), 1);
                const Bytes key = Pattern(Length(a[4]), 2);
                const Bytes data = Pattern(Length(a[6]), 3);
                Filled out(a[7], a[2] & 8, a[2] & 16);
                const uint8_t* ivIn = (a[2] & 1) ? nullptr : iv.data();
                const uint8_t* keyIn = (a[2] & 2) ? nullptr : key.data();
                const uint8_t* dataIn = (a[2] & 4) ? nullptr : data.data();
                uint32_t* lengthOut = out.length();
                const auto ivLength = static_cast<uint32_t>(iv.size());
                const auto keyLength = static_cast<uint32_t>(key.size());
                const auto dataLength = static_cast<uint32_t>(data.size());
                if (id == kCipherDataEncrypt) {
                    rc = QAV_CipherDataEncrypt(h, ivIn, ivLength, keyIn, keyLength, Value(a[5]),
                                               dataIn, dataLength, out.data(), lengthOut, 0);
                } else if (id == kCipherDataDecrypt) {
                    rc = QAV_CipherDataDecrypt(h, ivIn, ivLength, keyIn, keyLength, Value(a[5]),
                                               dataIn, dataLength, out.data(), lengthOut, 0);
                } else {
                    rc = QAV_CipherDataMac(h, ivIn, ivLength, keyIn, keyLength, dataIn, dataLength,
                                           out.data(), lengthOut, 0);
                }
                out.Checked(Rule(id).name, rc);
                break;
            }
            case kSealWrite: {
                const Bytes data = Pattern(Length(a[2]), 4);
                const Bytes expected = Pattern(Length(a[3]), 5);
                rc = QAV_SealWrite(h, (a[4] & 1) ? nullptr : data.data(),
                                   static_cast<uint32_t>(data.size()),
                                   (a[4] & 2) ? nullptr : expected.data(),
                                   static_cast<uint32_t>(expected.size()), 0);
                break;
            }
            case kSealSign: {
                const Bytes hash = Pattern(Length(a[3]), 6);
                Filled out(a[6], a[4] & 2, a[4] & 4);
                rc =
                    out.Checked(Rule(id).name,
                                QAV_SealSign(h, Container(a[2]), (a[4] & 1) ? nullptr : hash.data(),
                                             static_cast<uint32_t>(hash.size()), Text(a[5]),
                                             out.data(), out.length(), 0));
                break;
            }
            case kGetSealPic: {
                Filled out(a[4], a[3] & 1, a[3] & 2);
                rc = out.Checked(Rule(id).name,
                                 QAV_GetSealPic(h, Value(a[2]), out.data(), out.length(), 0));
                break;
            }
            case kGetSealWaterMarkPic: {
                const Bytes hash = Pattern(Length(a[4]), 7);
                Filled out(a[6], a[7] & 2, a[7] & 4);
                rc = out.Checked(Rule(id).name,
                                 QAV_GetSealWaterMarkPic(h, Container(a[2]), Value(a[3]),
                                                         (a[7] & 1) ? nullptr : hash.data(),
                                                         static_cast<uint32_t>(hash.size()),
                                                         Text(a[5]), out.data(), out.length(), 0));
                break;
            }
            case kGetCardNumber: {
                Filled out(a[3], a[2] & 1, a[2] & 2);
                rc = out.Checked(Rule(id).name, QAV_GetCardNumber(h, out.text(), out.length(), 0));
                if (rc == QAV_OK && out.Present()) {
                    const uint32_t length = out.Reported();
                    Require(length > 0 && out.bytes()[length - 1] == '\0', "number not terminated",
                            "QAV_GetCardNumber", length);
                }
                break;
            }
            case kGetContainerList: {
                char** names = nullptr;
                uint32_t count = 0;
                rc = QAV_GetContainerList(h, (a[2] & 1) ? nullptr : &names,
                                          (a[2] & 2) ? nullptr : &count, 0);
                if (rc == QAV_OK && count > 0) {
                    for (uint32_t i = 0; i < count; ++i) (void)std::strlen(names[i]);
                }
                break;
            }
            case kReadCert: {
                Filled out(a[4], a[3] & 1, a[3] & 2);
                rc = out.Checked(Rule(id).name,
                                 QAV_ReadCert(h, Container(a[2]), out.data(), out.length(), 0));
                break;
            }
            case kGenKeyPair:
                rc = QAV_GenKeyPair(h, Container(a[2]), Value(a[3]), 0);
                break;
            case kExportPublicKey: {
                Filled key(a[6], a[5] & 1, a[5] & 4);
                Filled block(a[7], a[5] & 2, a[5] & 8);
                rc = QAV_ExportPublicKey(h, Value(a[2]), Container(a[3]), Value(a[4]), key.data(),
                                         key.length(), block.data(), block.length(), 0);
                key.Checked(Rule(id).name, block.Checked(Rule(id).name, rc));
                break;
            }
            case kWritePublicKey:
            case kWritePrivateKey: {
                const Bytes value = Pattern(Length(a[5]), 8);
                g_behaviour = BehaviourOf(a[6] >> 5);
                const QAV_MacCallback mac = Pick<QAV_MacCallback>(a[6] >> 3, Mac);
                const uint8_t* in = (a[6] & 4) ? nullptr : value.data();
                const auto length = static_cast<uint32_t>(value.size());
                rc = id == kWritePublicKey
                         ? QAV_WritePublicKey(h, Container(a[2]), Value(a[3]), Value(a[4]), in,
                                              length, Key(a[6] & 3), Value(a[7]), mac, 1, 2)
                         : QAV_WritePrivateKey(h, Container(a[2]), Value(a[3]), Value(a[4]), in,
                                               length, Key(a[6] & 3), Value(a[7]), mac, 1, 2);
                break;
            }
            case kPublicKeyCalc:
            case kPrivateKeyCalc: {
                const Bytes input = Pattern(Length(a[4]), 9);
                Filled out(a[6], a[5] & 2, a[5] & 4);
                const uint8_t* in = (a[5] & 1) ? nullptr : input.data();
                uint32_t* lengthOut = out.length();
                const auto inLength = static_cast<uint32_t>(input.size());
                rc = id == kPublicKeyCalc ? QAV_PublicKeyCalc(h, Container(a[2]), Value(a[3]), in,
                                                              inLength, out.data(), lengthOut, 0)
                                          : QAV_PrivateKeyCalc(h, Container(a[2]), Value(a[3]), in,
                                                               inLength, out.data(), lengthOut, 0);
                out.Checked(Rule(id).name, rc);
                break;
            }
            case kPrivateKeyCalcRaw: {
                // Lengths from the edges often hit 128 and 256, one modulus.
                const Bytes input = Pattern(Length(a[4]), 9);
                Filled out(a[6], a[5] & 2, a[5] & 4);
                rc = QAV_PrivateKeyCalcRaw(h, Container(a[2]), (a[5] & 1) ? nullptr : input.data(),
                                           static_cast<uint32_t>(input.size()), out.data(),
                                           out.length(), 0);
                out.Checked(Rule(id).name, rc);
                break;
            }
            case kVerifyCertData: {
                const Bytes data = Pattern(Length(a[6]), 10);
                rc = QAV_VerifyCertData(h, Container(a[2]), Container(a[3]), Container(a[4]),
                                        Value(a[5]), (a[7] & 1) ? nullptr : data.data(),
                                        static_cast<uint32_t>(data.size()), 0);
                break;
            }
            case kImportSessionKey: {
                const Bytes key = Pattern(Length(a[3]), 11);
                QAV_SessionKey* made = nullptr;
                rc = QAV_ImportSessionKey(h, Value(a[2]), (a[4] & 1) ? nullptr : key.data(),
                                          static_cast<uint32_t>(key.size()), Container(a[5]),
                                          (a[4] & 2) ? nullptr : &made, 0);
                if (rc == QAV_OK && made != nullptr) keys_[a[6] % 4] = made;
                break;
            }
            case kExportSessionKey: {
                Filled out(a[5], a[4] & 1, a[4] & 2);
                rc = out.Checked(Rule(id).name, QAV_ExportSessionKey(h, Key(a[2]), Container(a[3]),
                                                                     out.data(), out.length(), 0));
                break;
            }
            case kGetEnDeKeyHandle: {
                QAV_SessionKey* made = nullptr;
                rc = QAV_GetEnDeKeyHandle(h, (a[2] & 1) ? nullptr : &made, 0);
                if (rc == QAV_OK && made != nullptr) keys_[a[3] % 4] = made;
                break;
            }
            case kDelSessionKey:
                rc = QAV_DelSessionKey(h, Key(a[2]), 0);
                break;
            case kSessionKeyEncrypt:
            case kSessionKeyDecrypt: {
                constexpr uint32_t kCapacities[] = {0,  1,  8,   15,  16,  17,   31,   32,
                                                    33, 48, 256, 512, 513, 1024, 4096, 4112};
                const Bytes iv = Pattern(Length(a[5]), 12);
                const Bytes input = Pattern(Length(a[6]), 13);
                const bool noOut = (a[7] & 4) != 0;
                Filled out(ExactCapacity{noOut ? Value(a[7]) : kCapacities[a[7] >> 4]}, noOut,
                           a[7] & 8);
                const uint8_t* ivIn = (a[7] & 1) ? nullptr : iv.data();
                const uint8_t* in = (a[7] & 2) ? nullptr : input.data();
                uint32_t* lengthOut = out.length();
                const auto ivLength = static_cast<uint32_t>(iv.size());
                const auto inLength = static_cast<uint32_t>(input.size());
                rc = id == kSessionKeyEncrypt
                         ? QAV_SessionKeyEncrypt(h, Key(a[2]), Value(a[3]), Value(a[4]), ivIn,
                                                 ivLength, in, inLength, out.data(), lengthOut, 0)
                         : QAV_SessionKeyDecrypt(h, Key(a[2]), Value(a[3]), Value(a[4]), ivIn,
                                                 ivLength, in, inLength, out.data(), lengthOut, 0);
                out.Checked(Rule(id).name, rc);
                break;
            }
            case kDetectDeviceChange:
                rc = QAV_DetectDeviceChange((a[2] & 1) ? nullptr : DeviceChanged, 5);
                takesHandle = false;
                break;
            case kCancelDetectDeviceChange:
                rc = QAV_CancelDetectDeviceChange(Value(a[2]));
                takesHandle = false;
                break;
            case kServiceFault: {
                const Call call = kFaultCalls[a[2] % std::size(kFaultCalls)];
                // A release fails only when the service is gone, and then
                // the contexts went with it.
                if (call == Call::ReleaseContext || call == Call::Disconnect) {
                    pcsc_.DropAllContexts();
                } else {
                    pcsc_.Inject(call, kFaultCodes[a[3] % std::size(kFaultCodes)], a[4] % 3 + 1);
                }
                return;
            }
            case kPullCard:
                pcsc_.RemoveCard(ReaderName(scenario_.flags));
                return;
            case kInsertCard:
                pcsc_.InsertCard(ReaderName(scenario_.flags), card_);
                return;
            case kServiceRestart:
                pcsc_.DropAllContexts();
                pcsc_.SetServiceRunning((a[2] & 1) == 0);
                return;
            default:
                return;
        }
        Check(id, rc, takesHandle, wasStarted, knownHandle);
    }

    const Scenario& scenario_;
    const std::shared_ptr<fake::FakeCard> card_;
    FakePcsc& pcsc_;
    uint32_t usage_ = 0;
    bool started_ = false;
    bool managerLeft_ = false;
    std::set<QAV_HANDLE> open_;
    std::array<QAV_HANDLE, 4> slots_{};
    QAV_HANDLE lastClosed_ = 0;
    std::array<QAV_SessionKey*, 4> keys_{};
};

}  // namespace

const char* ReaderName(uint8_t flags) {
    static const char* const kNames[] = {"ADM Virtual Seal 00 00", "DZYZ Seal Reader 0",
                                         "Generic Reader 01", "ADM Second Seal 01 00"};
    return kNames[(flags >> 2) & 3];
}

Scenario ParseScenario(const uint8_t* data, size_t size) {
    size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    Scenario scenario;
    scenario.flags = next();
    const size_t atrLength = std::min<size_t>(next(), kMaxAtr);
    for (size_t i = 0; i < atrLength; ++i) scenario.atr.push_back(next());
    const size_t count = std::min<size_t>(next(), kMaxOps);
    for (size_t i = 0; i < count; ++i) {
        std::array<uint8_t, kOpSize> op{};
        for (auto& byte : op) byte = next();
        scenario.ops.push_back(op);
    }
    scenario.answersOffset = std::min(at, size);
    return scenario;
}

Bytes EncodeScenario(const Scenario& scenario) {
    Bytes out = {scenario.flags, static_cast<uint8_t>(scenario.atr.size())};
    out.insert(out.end(), scenario.atr.begin(), scenario.atr.end());
    out.push_back(static_cast<uint8_t>(scenario.ops.size()));
    for (const auto& op : scenario.ops) out.insert(out.end(), op.begin(), op.end());
    return out;
}

void AppendAnswer(const Bytes& answer, Bytes* encoded) {
    if (answer.size() < kAnswerLong) {
        encoded->push_back(static_cast<uint8_t>(answer.size()));
    } else {
        encoded->push_back(kAnswerLong);
        encoded->push_back(static_cast<uint8_t>(answer.size() >> 8));
        encoded->push_back(static_cast<uint8_t>(answer.size()));
    }
    encoded->insert(encoded->end(), answer.begin(), answer.end());
}

void PrepareProcess() {
    // Retries and polls pause for nothing; only the watches' waits in the
    // service take real time.
    platform::SetSleepFunction([](uint32_t) {});
    std::string folder = std::filesystem::exists("/dev/shm") ? "/dev/shm/qavseal-fuzz-XXXXXX"
                                                             : "/tmp/qavseal-fuzz-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    g_configRoot = folder;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_configRoot, ignored);
    });
}

void RunScenario(const Scenario& scenario, const std::shared_ptr<fake::FakeCard>& card,
                 FakePcsc& pcsc) {
    // Every run starts from an empty card database in a folder of its own:
    // the library's cache of the store keys on the folder's path, and a store
    // wiped and written again in the same place could look unchanged to it.
    static unsigned serial = 0;
    std::error_code ignored;
    std::filesystem::remove_all(g_configRoot + "/" + std::to_string(serial), ignored);
    const std::string folder = g_configRoot + "/" + std::to_string(++serial);
    std::filesystem::create_directory(folder, ignored);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ignored);
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    if ((scenario.flags & 2) != 0 && !scenario.atr.empty()) {
        char name[260];
        const auto length = static_cast<uint32_t>(scenario.atr.size());
        CardEntryName(scenario.atr.data(), length, name);
        const Bytes mask(scenario.atr.size(), 0xFF);
        RegisterCard(name, scenario.atr.data(), length, mask.data(), length, kCardProviderName,
                     kCardModuleName);
    }
    pcsc.AddReader(ReaderName(scenario.flags));
    pcsc.InsertCard(ReaderName(scenario.flags), card);

    Run run(scenario, card, pcsc);
    run.Operations();
    run.Stop();
}

}  // namespace qav::fuzz
