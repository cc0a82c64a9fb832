#include "options.h"
#include "platform/secure_memory.h"
#include "session.h"

namespace qavtool {
namespace {

// Session keys live as long as the library's handle, that is one run of the
// tool: each command obtains its key, uses it and deletes it again.
struct SessionKeyArgs {
    uint32_t algorithm = 1;
    std::string keyFile;
    std::string wrappedBy;
    bool cardKey = false;
    bool keep = false;
    std::string exportWrap;
    bool cbc = false;
    Bytes iv;
    uint32_t padding = 0;
    std::string in;
    std::string out;
};

class SessionKey {
public:
    explicit SessionKey(QAV_HANDLE handle) : handle_(handle) {}
    ~SessionKey() {
        if (key_ != nullptr && !keep_) QAV_DelSessionKey(handle_, key_, 0);
    }
    SessionKey(const SessionKey&) = delete;
    SessionKey& operator=(const SessionKey&) = delete;

    uint32_t Obtain(const SessionKeyArgs& args, const Bytes& material) {
        keep_ = args.keep || args.cardKey;
        if (args.cardKey) return QAV_GetEnDeKeyHandle(handle_, &key_, 0);
        return QAV_ImportSessionKey(
            handle_, args.algorithm, material.data(), static_cast<uint32_t>(material.size()),
            args.wrappedBy.empty() ? nullptr : args.wrappedBy.c_str(), &key_, 0);
    }
    // Deletes now, so the card's answer is seen.
    uint32_t Delete() {
        const uint32_t rc = QAV_DelSessionKey(handle_, key_, 0);
        if (rc == QAV_OK) key_ = nullptr;
        return rc;
    }
    QAV_SessionKey* Get() const { return key_; }

private:
    QAV_HANDLE handle_;
    QAV_SessionKey* key_ = nullptr;
    bool keep_ = false;
};

enum class Use { kImport, kExport, kEncrypt, kDecrypt, kDelete };

constexpr uint32_t kSm4 = 1;

// The cipher's block: 16 bytes for SM4 and AES, 8 for the DES family.
size_t BlockOf(uint32_t algorithm) { return algorithm == kSm4 || algorithm == 4 ? 16 : 8; }

// The arguments and files checked before the card is touched.
template <Use kUse>
bool Prepare(const SessionKeyArgs& args, Bytes* material, Bytes* input, std::string* error) {
    if (!args.cardKey) {
        if (args.keyFile.empty()) {
            *error = "give --card-key or --key-file";
            return false;
        }
        if (!ReadInputFile(args.keyFile, material, error)) return false;
    }
    if (kUse != Use::kEncrypt && kUse != Use::kDecrypt) return true;
    const size_t block = BlockOf(args.cardKey ? kSm4 : args.algorithm);
    if (args.cbc && args.iv.size() != block) {
        *error = "--iv: the cipher's initial vector is " + std::to_string(block) + " bytes, not " +
                 std::to_string(args.iv.size());
        return false;
    }
    if (!ReadFileBytes(args.in, input)) {
        *error = "cannot read " + args.in;
        return false;
    }
    // Only an encryption that pads takes a part block, or nothing at all.
    const bool padded = kUse == Use::kEncrypt && args.padding != 0;
    if (!padded && (input->empty() || input->size() % block != 0)) {
        *error = args.in + " is " + std::to_string(input->size()) + " bytes long: " +
                 (kUse == Use::kEncrypt ? "without --padding the cipher takes whole "
                                        : "the cipher decrypts whole ") +
                 std::to_string(block) + "-byte blocks";
        return false;
    }
    return true;
}

template <Use kUse>
int Run(const Options& options, const SessionKeyArgs& args) {
    Bytes material;
    const qav::platform::WipeOnExit wipe(material);
    Bytes input;
    std::string error;
    if (!Prepare<kUse>(args, &material, &input, &error)) return Output(options.json).Usage(error);
    return WithSession(options, [&](Session& session, Output& out) {
        SessionKey key(session.Handle());
        if (const uint32_t rc = key.Obtain(args, material)) {
            return out.Fail("loading the session key", rc);
        }
        if (kUse == Use::kImport) {
            out.Field("session_key", args.keep ? "loaded and kept on the card" : "loaded");
            return out.Done();
        }
        if (kUse == Use::kDelete) {
            if (const uint32_t rc = key.Delete()) return out.Fail("deleting the session key", rc);
            // The library frees the handle of the card's own key and leaves
            // the key itself alone.
            out.Field("session_key", args.cardKey
                                         ? "the card's cipher key stays on the card; only the "
                                           "handle to it was freed"
                                         : "loaded and deleted");
            return out.Done();
        }
        Bytes result;
        const uint32_t rc = AskAndFill(&result, [&](uint8_t* buffer, uint32_t* length) {
            if (kUse == Use::kExport) {
                return QAV_ExportSessionKey(
                    session.Handle(), key.Get(),
                    args.exportWrap.empty() ? nullptr : args.exportWrap.c_str(), buffer, length, 0);
            }
            const auto cipher =
                kUse == Use::kEncrypt ? &QAV_SessionKeyEncrypt : &QAV_SessionKeyDecrypt;
            return cipher(session.Handle(), key.Get(), args.cbc ? 1 : 0, args.padding,
                          args.iv.data(), static_cast<uint32_t>(args.iv.size()), input.data(),
                          static_cast<uint32_t>(input.size()), buffer, length, 0);
        });
        const qav::platform::WipeOnExit wipeResult(result);
        if (rc != QAV_OK) return out.Fail("using the session key", rc);
        return Emit(out, args.out, kUse == Use::kExport ? "key" : "result", result);
    });
}

CLI::App* AddKeySource(Registry registry, CLI::App& parent, const char* name, const char* help,
                       int (*run)(const Options&, const SessionKeyArgs&)) {
    auto args = std::make_shared<SessionKeyArgs>();
    CLI::App* command = AddCommand(registry, parent, name, help, args, run);
    command->add_option("--algorithm,-a", args->algorithm, "sm4, aes128, des, 3des2 or 3des3")
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, uint32_t>{
                {"sm4", 1}, {"aes128", 4}, {"des", 8}, {"3des2", 16}, {"3des3", 32}},
            CLI::ignore_case))
        ->capture_default_str();
    CLI::Option* file = command->add_option("--key-file", args->keyFile, "the key's bytes");
    command->add_option("--wrapped-by", args->wrappedBy,
                        "the key file holds the key wrapped under this container's public key");
    command
        ->add_flag("--card-key", args->cardKey,
                   "the card's own cipher key (SM4) instead; it is never deleted")
        ->excludes(file);
    if (std::string(name) == "import") {
        command->add_flag("--keep", args->keep, "leave the key on the card");
    } else if (std::string(name) == "export") {
        command->add_option("--wrap", args->exportWrap,
                            "wrap it under this container's public key");
        command->add_option("--out,-o", args->out, "write the key to this file");
    } else if (std::string(name) != "delete") {
        command->add_option("--in,-i", args->in, "the input")->required();
        command->add_option("--out,-o", args->out, "write the result to this file");
        CLI::Option* cbc = command->add_flag("--cbc", args->cbc, "chain the blocks (needs --iv)");
        CLI::Option* iv = AddHexOption(command, "--iv", &args->iv,
                                       "the initial vector of --cbc: 16 bytes, 8 for DES");
        // Without --cbc an IV would be ignored and the data silently go ECB.
        cbc->needs(iv);
        iv->needs(cbc);
        command->add_option("--padding", args->padding, "none, 80 (80 then zeros) or pkcs")
            ->transform(CLI::CheckedTransformer(
                std::map<std::string, uint32_t>{{"none", 0}, {"80", 1}, {"pkcs", 2}}))
            ->capture_default_str();
    }
    return command;
}

}  // namespace

void AddSessionKeyCommands(Registry registry) {
    CLI::App* family = registry.app.add_subcommand(
        "session-key", "load a session key onto the card and use it, within one run");
    AddKeySource(registry, *family, "import", "load a session key (deleted again unless --keep)",
                 &Run<Use::kImport>);
    AddKeySource(registry, *family, "export", "load a session key and read it back",
                 &Run<Use::kExport>);
    AddKeySource(registry, *family, "encrypt", "encrypt a file with a session key",
                 &Run<Use::kEncrypt>);
    AddKeySource(registry, *family, "decrypt", "decrypt a file with a session key",
                 &Run<Use::kDecrypt>);
    AddKeySource(registry, *family, "delete",
                 "load a session key and delete it, showing the answer", &Run<Use::kDelete>);
}

}  // namespace qavtool
