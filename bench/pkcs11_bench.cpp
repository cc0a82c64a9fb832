// The PKCS#11 module, loaded as a client loads it (dlopen, C_GetFunctionList),
// against the library exports it calls: signing, the slot list, the object
// queries that must not reach the card, and the resident set over many
// signatures.
#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "cryptoki.h"
#include "family_support.h"
#include "qavseal/qavseal_pkcs11.h"
#include "sampling.h"
#include "service_calls.h"

namespace bench {
namespace {

constexpr char kRsaContainer[] = "QAV-RSA1024";
constexpr char kSm2Container[] = "QAV-SM2-Seal";

// The module loaded and initialised, with one logged-in session on the
// first key's slot; everything undone in reverse when it goes.
class Module {
public:
    explicit Module(const std::string& reader) {
        library_ = dlopen(QAV_BENCH_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (library_ == nullptr) {
            why_ = std::string("dlopen: ") + dlerror();
            return;
        }
        const auto get = reinterpret_cast<CK_C_GetFunctionList>(
            reinterpret_cast<uintptr_t>(dlsym(library_, "C_GetFunctionList")));
        if (get == nullptr || get(&f_) != CKR_OK) {
            why_ = "C_GetFunctionList failed";
            return;
        }
        if (f_->C_Initialize(nullptr) != CKR_OK) {
            why_ = "C_Initialize failed";
            return;
        }
        initialized_ = true;
        const std::vector<CK_SLOT_ID> slots = Slots();
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (f_->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
            // The label is the reader's name, cut or space-padded to 32.
            const std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
            if (label.compare(0, std::min(reader.size(), label.size()), reader, 0,
                              std::min(reader.size(), label.size())) == 0) {
                slot_ = slot;
                break;
            }
        }
        if (slot_ == CK_UNAVAILABLE_INFORMATION ||
            f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_) != CKR_OK) {
            why_ = "no session on the key's slot";
            return;
        }
        opened_ = true;
        std::string pin = kPin;
        if (f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()),
                        pin.size()) != CKR_OK) {
            why_ = "C_Login failed";
        }
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() {
        if (opened_) f_->C_CloseSession(session_);
        if (initialized_) f_->C_Finalize(nullptr);
        if (library_ != nullptr) dlclose(library_);
    }

    // Empty when the module is ready.
    const std::string& Why() const { return why_; }
    CK_FUNCTION_LIST_PTR F() const { return f_; }
    CK_SESSION_HANDLE Session() const { return session_; }

    // As clients ask: the count, then the list.
    std::vector<CK_SLOT_ID> Slots() const {
        CK_ULONG count = 0;
        if (f_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return {};
        std::vector<CK_SLOT_ID> slots(count);
        if (f_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return {};
        slots.resize(count);
        return slots;
    }

    // The objects of a class; a label narrows them to one container.
    std::vector<CK_OBJECT_HANDLE> Find(CK_OBJECT_CLASS objectClass, const char* label) const {
        CK_ATTRIBUTE search[2] = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_LABEL, const_cast<char*>(label), label != nullptr ? std::strlen(label) : 0}};
        std::vector<CK_OBJECT_HANDLE> found;
        if (f_->C_FindObjectsInit(session_, search, label != nullptr ? 2 : 1) != CKR_OK) {
            return found;
        }
        CK_OBJECT_HANDLE some[16];
        CK_ULONG count = 0;
        while (f_->C_FindObjects(session_, some, 16, &count) == CKR_OK && count > 0) {
            found.insert(found.end(), some, some + count);
        }
        f_->C_FindObjectsFinal(session_);
        return found;
    }

    bool Sign(CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE key, const std::vector<uint8_t>& data,
              std::vector<uint8_t>& out, CK_ULONG expected) const {
        CK_MECHANISM mechanism{type, nullptr, 0};
        if (f_->C_SignInit(session_, &mechanism, key) != CKR_OK) return false;
        CK_ULONG length = out.size();
        return f_->C_Sign(session_, const_cast<CK_BYTE_PTR>(data.data()), data.size(), out.data(),
                          &length) == CKR_OK &&
               length == expected;
    }

private:
    void* library_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    bool initialized_ = false;
    bool opened_ = false;
    CK_SLOT_ID slot_ = CK_UNAVAILABLE_INFORMATION;
    CK_SESSION_HANDLE session_ = 0;
    std::string why_;
};

bool ListWithLibrary() {
    char** names = nullptr;
    uint32_t count = 0;
    return QAV_GetDeviceList(&names, &count, 1) == QAV_OK && count > 0;
}

// C_SignInit and C_Sign on the container's private key against
// QAV_PrivateKeyCalc with the same input, on the library's own handle.
void RegisterSign(Lines& lines, const std::shared_ptr<Module>& module, QAV_HANDLE device,
                  const std::string& name, const char* label, const char* container,
                  CK_MECHANISM_TYPE mechanism, size_t inputLength, CK_ULONG outputLength) {
    const std::string benchmark = "P11/Sign/" + name;
    const std::vector<CK_OBJECT_HANDLE> keys = module->Find(CKO_PRIVATE_KEY, container);
    if (keys.size() != 1) {
        RegisterFailure(benchmark, "the container's private key is not one object");
        return;
    }
    auto input = std::make_shared<std::vector<uint8_t>>(inputLength, 0x5A);
    auto out = std::make_shared<std::vector<uint8_t>>(512);
    const CK_OBJECT_HANDLE key = keys.front();
    RegisterComparison(benchmark,
                       [module, mechanism, key, input, out, outputLength] {
                           return module->Sign(mechanism, key, *input, *out, outputLength);
                       },
                       {{"", [device, container, input, out, outputLength] {
                             uint32_t length = static_cast<uint32_t>(out->size());
                             return QAV_PrivateKeyCalc(device, container, 1, input->data(),
                                                       static_cast<uint32_t>(input->size()),
                                                       out->data(), &length, 0) == QAV_OK &&
                                    length == outputLength;
                         }}});
    lines.push_back({benchmark,
                     "ratio",
                     std::string("C_Sign (") + label + ") / QAV_PrivateKeyCalc, the same input",
                     {Goal::kAtMost, 1.03},
                     {"qav_us", "raw_us"}});
}

// Finding every object and reading what clients read of each: all from
// what the module kept when it bound the token.
bool ReadObjects(const Module& module, const std::vector<CK_ATTRIBUTE_TYPE>& types) {
    size_t objects = 0;
    for (const CK_OBJECT_CLASS objectClass : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        for (const CK_OBJECT_HANDLE object : module.Find(objectClass, nullptr)) {
            ++objects;
            for (const CK_ATTRIBUTE_TYPE type : types) {
                CK_ATTRIBUTE attribute{type, nullptr, 0};
                const CK_RV rv =
                    module.F()->C_GetAttributeValue(module.Session(), object, &attribute, 1);
                if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) continue;
                if (rv != CKR_OK) return false;
                std::vector<uint8_t> value(attribute.ulValueLen);
                attribute.pValue = value.data();
                if (module.F()->C_GetAttributeValue(module.Session(), object, &attribute, 1) !=
                    CKR_OK) {
                    return false;
                }
            }
        }
    }
    return objects >= 3;
}

void RegisterObjects(Lines& lines, const std::shared_ptr<Module>& module) {
    const std::vector<CK_ATTRIBUTE_TYPE> types = {
        CKA_LABEL, CKA_ID, CKA_VALUE, CKA_SUBJECT, CKA_MODULUS, CKA_EC_POINT, CKA_KEY_TYPE};
    RegisterMeasurement("P11/Objects", [module, types](benchmark::State& state) {
        const int rounds = Brief() ? 5 : 200;
        bool ok = true;
        ServiceCalls calls;
        for (auto _ : state) {
            const ServiceCalls before = CountedCalls();
            for (int i = 0; i < rounds && ok; ++i) ok = ReadObjects(*module, types);
            calls = CountedCalls() - before;
        }
        if (!ok) {
            state.SkipWithError("an object query failed");
            return;
        }
        state.counters["rounds"] = rounds;
        state.counters["card_commands"] = static_cast<double>(calls.transmits);
        state.counters["status_queries"] = static_cast<double>(calls.statusQueries);
        state.counters["transactions"] = static_cast<double>(calls.transactions);
    });
    lines.push_back({"P11/Objects",
                     "card_commands",
                     "C_FindObjects + C_GetAttributeValue after the bind: card commands",
                     {Goal::kAtMost, 0},
                     {"rounds", "status_queries", "transactions"}});
}

void RegisterMemory(Lines& lines, const std::shared_ptr<Module>& module) {
    const std::vector<CK_OBJECT_HANDLE> keys = module->Find(CKO_PRIVATE_KEY, kRsaContainer);
    if (keys.size() != 1) {
        RegisterFailure("P11/Memory", "the RSA container's private key is not one object");
        return;
    }
    const CK_OBJECT_HANDLE key = keys.front();
    RegisterMeasurement("P11/Memory", [module, key](benchmark::State& state) {
        const int first = Brief() ? 20 : 1000;
        const int last = Brief() ? 100 : 10000;
        const std::vector<uint8_t> data(100, 0x33);
        std::vector<uint8_t> out(512);
        int failures = 0;
        size_t rssFirst = 0;
        size_t rssLast = 0;
        for (auto _ : state) {
            for (int i = 1; i <= last; ++i) {
                // A hashing mechanism: the host digest's state is made and
                // dropped each time too.
                if (!module->Sign(CKM_SHA256_RSA_PKCS, key, data, out, 128)) ++failures;
                if (i == first) rssFirst = ResidentBytes();
            }
            rssLast = ResidentBytes();
        }
        state.counters["signatures_first"] = first;
        state.counters["signatures_last"] = last;
        state.counters["rss_first_kib"] = static_cast<double>(rssFirst / 1024);
        state.counters["rss_last_kib"] = static_cast<double>(rssLast / 1024);
        state.counters["failures"] = failures;
        state.counters["rss_growth_percent"] =
            rssFirst == 0 ? 0
                          : 100.0 * (static_cast<double>(rssLast) - static_cast<double>(rssFirst)) /
                                static_cast<double>(rssFirst);
    });
    lines.push_back(
        {"P11/Memory",
         "rss_growth_percent",
         "C_Sign (RSA-1024, SHA-256): RSS growth from the first to the last count, %",
         {Goal::kAtMost, 1},
         {"signatures_first", "signatures_last", "rss_first_kib", "rss_last_kib", "failures"}});
}

void RegisterSlotList(Lines& lines, const std::shared_ptr<Module>& module, size_t keys) {
    const std::string name = "P11/SlotList/keys:" + std::to_string(keys);
    RegisterComparison(name, [module, keys] { return module->Slots().size() >= keys; },
                       {{"", [] { return ListWithLibrary(); }}});
    lines.push_back(
        {name,
         "ratio",
         "C_GetSlotList (count, then list), " + std::to_string(keys) + " keys / QAV_GetDeviceList",
         {Goal::kAtMost, 1.1},
         {"qav_us", "raw_us"}});
}

}  // namespace

Lines RegisterPkcs11(const Setup& setup) {
    const Key& key = setup.keys.front();
    auto module = std::make_shared<Module>(key.reader);
    if (!module->Why().empty()) {
        RegisterFailure("P11/Module", module->Why());
        return {};
    }
    Lines lines;
    RegisterSlotList(lines, module, setup.keys.size());
    if (setup.keys.size() != 1) return lines;
    // The library's own handle needs the PIN for its private-key calls.
    uint32_t tries = 0;
    if (QAV_VerifyPIN(key.device->Handle(), kPin, &tries, 0) != QAV_OK) {
        RegisterFailure("P11/Sign", "QAV_VerifyPIN failed");
        return lines;
    }
    const QAV_HANDLE device = key.device->Handle();
    RegisterSign(lines, module, device, "RSA1024", "RSA-1024, CKM_RSA_PKCS, 32 bytes",
                 kRsaContainer, CKM_RSA_PKCS, 32, 128);
    RegisterSign(lines, module, device, "SM2", "SM2, 32-byte hash", kSm2Container, CKM_QAV_SM2, 32,
                 64);
    RegisterObjects(lines, module);
    RegisterMemory(lines, module);
    return lines;
}

}  // namespace bench
