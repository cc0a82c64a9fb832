#include "options.h"
#include "platform/secure_memory.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

struct CipherArgs {
    Bytes iv;
    std::string keyFile;
    std::string in;
    std::string out;
};

enum class Use { kEncrypt, kDecrypt, kMac };

constexpr size_t kBlock = 16;

// SM4 with the card's cipher key, or with --key-file a key sent along.
template <Use kUse>
int Run(const Options& options, const CipherArgs& args) {
    Output usage(options.json);
    if (!args.iv.empty() && args.iv.size() != kBlock) {
        return usage.Usage("--iv: an SM4 initial vector is 16 bytes, not " +
                           std::to_string(args.iv.size()));
    }
    Bytes key;
    const qav::platform::WipeOnExit wipeKey(key);
    std::string error;
    if (!args.keyFile.empty() && !LoadKey("--key-file", args.keyFile, &key, &error)) {
        return usage.Usage(error);
    }
    Bytes data;
    if (!ReadInputFile(args.in, &data, &error)) return usage.Usage(error);
    if (data.size() % kBlock != 0) {
        return usage.Usage(args.in + " is " + std::to_string(data.size()) +
                           " bytes long: the card takes whole 16-byte blocks");
    }
    return WithSession(options, [&](Session& session, Output& out) {
        const uint8_t* iv = args.iv.empty() ? nullptr : args.iv.data();
        const auto ivLength = static_cast<uint32_t>(args.iv.size());
        const auto keyLength = static_cast<uint32_t>(key.size());
        const auto dataLength = static_cast<uint32_t>(data.size());
        Bytes result;
        const uint32_t rc = AskAndFill(&result, [&](uint8_t* buffer, uint32_t* length) {
            if (kUse == Use::kMac) {
                return QAV_CipherDataMac(session.Handle(), iv, ivLength, key.data(), keyLength,
                                         data.data(), dataLength, buffer, length, 0);
            }
            const auto cipher =
                kUse == Use::kEncrypt ? &QAV_CipherDataEncrypt : &QAV_CipherDataDecrypt;
            return cipher(session.Handle(), iv, ivLength, key.data(), keyLength,
                          key.empty() ? 0 : 1, data.data(), dataLength, buffer, length, 0);
        });
        if (rc != QAV_OK) return out.Fail("calculating on the card", rc);
        return Emit(out, args.out, kUse == Use::kMac ? "mac" : "result", result);
    });
}

void Add(Registry registry, CLI::App& parent, const char* name, const char* help,
         int (*run)(const Options&, const CipherArgs&), bool needsKey) {
    auto args = std::make_shared<CipherArgs>();
    CLI::App* command = AddCommand(registry, parent, name, help, args, run);
    AddHexOption(command, "--iv", &args->iv,
                 "chain the blocks (CBC) from this 16-byte initial vector; without it ECB");
    CLI::Option* key =
        AddKeyFileOption(command, "--key-file", &args->keyFile,
                         needsKey ? "a 16-byte SM4 key (the card's MAC takes no key of its own)"
                                  : "a 16-byte SM4 key (default: the card's cipher key)");
    if (needsKey) key->required();
    command->add_option("--in,-i", args->in, "the data, whole 16-byte blocks")->required();
    command->add_option("--out,-o", args->out, "write the result to this file");
}

}  // namespace

void AddCipherCommands(Registry registry) {
    CLI::App* cipher =
        registry.app.add_subcommand("cipher", "SM4 on the card: encrypt, decrypt or MAC");
    Add(registry, *cipher, "encrypt", "encrypt with SM4 on the card", &Run<Use::kEncrypt>, false);
    Add(registry, *cipher, "decrypt", "decrypt with SM4 on the card", &Run<Use::kDecrypt>, false);
    Add(registry, *cipher, "mac", "a 4-byte SM4 MAC computed by the card", &Run<Use::kMac>, true);
}

}  // namespace qavtool
