// Writes seeds for the export fuzz target: seal-session steps run against
// the virtual key through the same driver, with the key's answers recorded
// in the input's own answer format, so fuzzing starts from real card
// conversations.
//   record_export_seeds <folder>
#include <array>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/export_driver.h"
#include "fuzz/export_rules.h"
#include "vcard/seal_card.h"

namespace {

using qav::fuzz::Bytes;
using namespace qav::fuzz;  // the operation names

class RecordingCard final : public qav::fake::FakeCard {
public:
    explicit RecordingCard(std::unique_ptr<vcard::SealCard> key) : key_(std::move(key)) {}
    Bytes Atr() const override { return key_->Atr(); }
    uint32_t Protocol() const override {
        return key_->GetOptions().transport == vcard::Transport::T0 ? 1u : 2u;
    }
    void Reset() override { key_->Reset(); }
    Bytes Transmit(const Bytes& command) override {
        const Bytes answer = key_->Transmit(command);
        AppendAnswer(answer, &answers);
        return answer;
    }

    Bytes answers;

private:
    std::unique_ptr<vcard::SealCard> key_;
};

std::array<uint8_t, kOpSize> Op(ExportId id, std::initializer_list<uint8_t> args = {}) {
    std::array<uint8_t, kOpSize> op{};
    op[0] = id;
    size_t i = 1;
    for (const uint8_t arg : args) op[i++] = arg;
    return op;
}

// Argument bytes as the driver reads them (see Value and Length there). The
// pictures are only sized: read whole, they would make the seeds large.
constexpr uint8_t kSlot0 = 0;
constexpr uint8_t kSeal = 0, kRsa1024 = 1, kRsa2048 = 2;  // containers
constexpr uint8_t kRightPin = 0, kWrongPin = 1;
constexpr uint8_t k128 = 0x80, k256 = 0x83, k300 = 0x85, k1024 = 0x8A, k4096 = 0x8D;
constexpr uint8_t kFile2004 = 0x85, kFile2F01 = 0x86, kFile4000 = 0x88;

struct Session {
    const char* name;
    bool registered;
    std::vector<std::array<uint8_t, kOpSize>> steps;
};

std::vector<Session> Sessions() {
    const auto open = {Op(kInitialize), Op(kOpenDevice, {0, 0, 0, 0})};
    const auto with = [&](std::initializer_list<std::array<uint8_t, kOpSize>> steps) {
        std::vector<std::array<uint8_t, kOpSize>> all(open);
        all.insert(all.end(), steps);
        return all;
    };
    return {
        {"pin", false,
         with({Op(kVerifyPin, {kSlot0, kWrongPin}), Op(kVerifyPin, {kSlot0, kRightPin}),
               Op(kChangePin, {kSlot0, kRightPin, kWrongPin}), Op(kGetState, {kSlot0, 1}),
               Op(kGetState, {kSlot0, 2}), Op(kGetState, {kSlot0, 4})})},
        {"containers", true,
         with({Op(kGetContainerList, {kSlot0}), Op(kReadCert, {kSlot0, kSeal, 1, 1}),
               Op(kReadCert, {kSlot0, kRsa1024, 0, k4096}),
               Op(kReadCert, {kSlot0, kRsa2048, 0, k4096}),
               Op(kExportPublicKey, {kSlot0, 0, kRsa1024, 0, 0, k300, 64}),
               Op(kExportPublicKey, {kSlot0, 0, kSeal, 0, 0, k300, 64})})},
        {"seal", true,
         with({Op(kVerifyPin, {kSlot0, kRightPin}), Op(kSealSign, {kSlot0, kSeal, 32, 0, 2, 64}),
               Op(kGetSealPic, {kSlot0, 1, 1, 1}),
               Op(kGetSealWaterMarkPic, {kSlot0, kSeal, 1, 32, 2, 1, 2})})},
        {"key_calc", false,
         with({Op(kVerifyPin, {kSlot0, kRightPin}),
               Op(kPrivateKeyCalc, {kSlot0, kRsa1024, 1, 32, 0, k128}),
               Op(kPrivateKeyCalcRaw, {kSlot0, kRsa1024, 0, k128, 0, k128}),
               Op(kPublicKeyCalc, {kSlot0, kRsa1024, 1, 32, 0, k128}),
               Op(kPrivateKeyCalc, {kSlot0, kSeal, 1, 32, 0, k128}),
               Op(kHash, {kSlot0, 0, 1, 100, 0, 32}), Op(kGenRandom, {kSlot0, 40})})},
        {"session_keys", true,
         with({Op(kVerifyPin, {kSlot0, kRightPin}), Op(kImportSessionKey, {kSlot0, 1, 16, 0, 5, 0}),
               Op(kSessionKeyEncrypt, {kSlot0, 0, 0, 1, 16, 32, 0x90}),
               Op(kSessionKeyDecrypt, {kSlot0, 0, 0, 1, 16, 48, 0x90}),
               Op(kExportSessionKey, {kSlot0, 0, 5, 0, 64}), Op(kDelSessionKey, {kSlot0, 0}),
               Op(kGetEnDeKeyHandle, {kSlot0, 0, 1}),
               Op(kCipherDataEncrypt, {kSlot0, 1, 0, 16, 0, 32, 32})})},
        {"files", false,
         with({Op(kGetAbilityInfo, {kSlot0}), Op(kGetSealDeviceAbility, {kSlot0}),
               Op(kReadFile, {kSlot0, kFile4000, 0, 0, 64, 1, 0}),
               Op(kVerifyPin, {kSlot0, kRightPin}),
               Op(kWriteFile, {kSlot0, kFile2004, 0, k300, 0, 0}),
               Op(kReadFile, {kSlot0, kFile2004, 0, 0, k300, 1, 0}),
               Op(kReadFile, {kSlot0, kFile2F01, 0, 0, k1024, 0, 0})})},
        {"device", true,
         with({Op(kGetDeviceList, {0, 0, 1}), Op(kLock, {kSlot0}),
               Op(kTransmit, {kSlot0, 5, 0, 0x84, k256, 0}), Op(kUnlock, {kSlot0}),
               Op(kReset, {kSlot0}), Op(kClearSecureState, {kSlot0}),
               Op(kGetCardNumber, {kSlot0, 0, 64}), Op(kCloseDevice, {kSlot0}), Op(kFinalize)})},
        {"authentication", true,
         with({Op(kExternalAuth, {kSlot0, 1, 8, 1, 0, 0}),
               Op(kInternalAuth, {kSlot0, 1, 16, 0, 16, 0}),
               Op(kGenerateToken1, {kSlot0, 6, 1, 0, 16}), Op(kGenerateSk, {kSlot0, 6, 1, 0, 32}),
               Op(kExportAppAuthKey, {kSlot0, 2, 0, 16}), Op(kSealWrite, {kSlot0, k300, 32, 0}),
               Op(kDeliveryKey, {kSlot0, 1, 1, 0, 16})})},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    PrepareProcess();
    const std::string image = vcard::SealCard::CreateDefault()->ToJson();
    for (const Session& session : Sessions()) {
        for (const bool t1 : {true, false}) {
            vcard::Options options;
            options.transport = t1 ? vcard::Transport::T1 : vcard::Transport::T0;
            auto card = std::make_shared<RecordingCard>(vcard::SealCard::FromJson(image, options));
            Scenario scenario;
            scenario.flags = static_cast<uint8_t>((t1 ? 1 : 0) | (session.registered ? 2 : 0));
            scenario.atr = card->Atr();
            scenario.ops = session.steps;
            {
                qav::fake::FakePcsc pcsc;
                RunScenario(scenario, card, pcsc);
            }
            Bytes input = EncodeScenario(scenario);
            input.insert(input.end(), card->answers.begin(), card->answers.end());
            const std::string path =
                std::string(argv[1]) + "/" + session.name + (t1 ? "_t1" : "_t0");
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(input.data()),
                       static_cast<std::streamsize>(input.size()));
        }
    }
    return 0;
}
