#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

struct CipherArgs {
    Bytes iv;
    Bytes key;
    std::string in;
    std::string out;
};

enum class Use { kEncrypt, kDecrypt, kMac };

// SM4 with the card's cipher key, or with --key a key sent along.
template <Use kUse>
int Run(const Options& options, const CipherArgs& args) {
    Output out(options.json);
    Bytes data;
    if (!ReadFileBytes(args.in, &data)) return out.Usage("cannot read " + args.in);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    Bytes result(data.size() + 16);
    auto length = static_cast<uint32_t>(result.size());
    const uint8_t* iv = args.iv.empty() ? nullptr : args.iv.data();
    const auto ivLength = static_cast<uint32_t>(args.iv.size());
    const auto keyLength = static_cast<uint32_t>(args.key.size());
    const auto dataLength = static_cast<uint32_t>(data.size());
    uint32_t rc = QAV_OK;
    if (kUse == Use::kMac) {
        rc = QAV_CipherDataMac(session.Handle(), iv, ivLength, args.key.data(), keyLength,
                               data.data(), dataLength, result.data(), &length, 0);
    } else {
        const auto cipher = kUse == Use::kEncrypt ? &QAV_CipherDataEncrypt : &QAV_CipherDataDecrypt;
        rc = cipher(session.Handle(), iv, ivLength, args.key.data(), keyLength,
                    args.key.empty() ? 0 : 1, data.data(), dataLength, result.data(), &length, 0);
    }
    if (rc != QAV_OK) return out.Fail("calculating on the card", rc);
    result.resize(length);
    return Emit(out, args.out, kUse == Use::kMac ? "mac" : "result", result);
}

void Add(Registry registry, CLI::App& parent, const char* name, const char* help,
         int (*run)(const Options&, const CipherArgs&), bool needsKey) {
    auto args = std::make_shared<CipherArgs>();
    CLI::App* command = AddCommand(registry, parent, name, help, args, run);
    AddHexOption(command, "--iv", &args->iv, "chain the blocks from this initial vector");
    CLI::Option* key = AddHexOption(command, "--key", &args->key,
                                    "a 16-byte SM4 key (default: the card's cipher key)");
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
