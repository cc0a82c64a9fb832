#include "options.h"
#include "platform/secure_memory.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

struct AuthArgs {
    uint32_t keyType = 0;
    uint32_t keyRef = 1;
    uint32_t challenge = 16;
    uint32_t index = 0;
    Bytes data;
    std::string keyFile;
};

int Internal(const Options& options, const AuthArgs& args) {
    if (args.data.size() != 16) {
        return Output(options.json)
            .Usage("--data: the card encrypts exactly 16 bytes, not " +
                   std::to_string(args.data.size()));
    }
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes answer;
        if (const uint32_t rc = AskAndFill(&answer, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_InternalAuth(session.Handle(), args.keyRef, args.data.data(),
                                        static_cast<uint32_t>(args.data.size()), buffer, length, 0);
            })) {
            return out.Fail("authenticating the card", rc);
        }
        out.Field("answer", ToHex(answer, 0));
        return out.Done();
    });
}

int External(const Options& options, const AuthArgs& args) {
    SecureKeys keys;
    std::string error;
    if (!LoadKey("--key-file", args.keyFile, &keys.cryptogram, &error)) {
        return Output(options.json).Usage(error);
    }
    return WithSession(options, [&](Session& session, Output& out) {
        uint32_t tries = 0;
        if (const uint32_t rc =
                QAV_ExternalAuth(session.Handle(), args.keyRef, args.challenge, &AuthCryptogram,
                                 &tries, reinterpret_cast<uintptr_t>(&keys), 0)) {
            return FailPin(out, "authenticating to the card", rc, tries);
        }
        out.Field("authenticated", true);
        return out.Done();
    });
}

int Deliver(const Options& options, const AuthArgs& args) {
    Bytes key;
    const qav::platform::WipeOnExit wipe(key);
    std::string error;
    if (!LoadKey("--key-file", args.keyFile, &key, &error, 0)) {
        return Output(options.json).Usage(error);
    }
    if (key.size() % 8 != 0 || key.size() > 56) {
        return Output(options.json)
            .Usage("--key-file: the card takes keys of 8, 16, ... 56 bytes, not " +
                   std::to_string(key.size()));
    }
    return WithSession(options, [&](Session& session, Output& out) {
        if (const uint32_t rc = QAV_DeliveryKey(session.Handle(), args.keyType, args.keyRef,
                                                key.data(), static_cast<uint32_t>(key.size()), 0)) {
            return out.Fail("handing the key to the card", rc);
        }
        out.Field("key", "delivered");
        return out.Done();
    });
}

// The token and the key derived from it belong together: the card forgets
// the token when the connection goes, so both happen in one run.
int Token(const Options& options, const AuthArgs& args) {
    if (!args.data.empty() && args.data.size() != 32) {
        return Output(options.json)
            .Usage("--data: the card derives the key from 32 bytes, not " +
                   std::to_string(args.data.size()));
    }
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes token;
        if (const uint32_t rc = AskAndFill(&token, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_GenerateToken1(session.Handle(), args.keyType, args.keyRef, buffer,
                                          length, 0);
            })) {
            return out.Fail("asking for a token", rc);
        }
        out.Field("token", ToHex(token, 0));
        if (args.data.empty()) return out.Done();
        if (const uint32_t rc =
                QAV_GenerateSK(session.Handle(), args.keyType, args.keyRef, args.data.data(),
                               static_cast<uint32_t>(args.data.size()), 0)) {
            return out.Fail("deriving the session key", rc);
        }
        out.Field("session_key", "derived");
        return out.Done();
    });
}

int AppKey(const Options& options, const AuthArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes key;
        if (const uint32_t rc = AskAndFill(&key, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_ExportAppAuthKey(session.Handle(), args.index, buffer, length, 0);
            })) {
            return out.Fail("exporting the application key", rc);
        }
        out.Field("encrypted_key", ToHex(key, 0));
        return out.Done();
    });
}

void AddKeyRef(CLI::App* command, AuthArgs* args) {
    command->add_option("--key-ref,-k", args->keyRef, "the card key's reference")
        ->check(CLI::Range(0u, 255u))
        ->capture_default_str();
}

void AddKeyType(CLI::App* command, AuthArgs* args) {
    command->add_option("--key-type", args->keyType, "the card's key type")
        ->check(CLI::Range(0u, 255u))
        ->required();
}

}  // namespace

void AddAuthCommands(Registry registry) {
    CLI::App* auth = registry.app.add_subcommand("auth", "authentication with the card's keys");
    auto internal = std::make_shared<AuthArgs>();
    CLI::App* internalCommand =
        AddCommand(registry, *auth, "internal", "the card encrypts 16 bytes with its key", internal,
                   &Internal);
    AddKeyRef(internalCommand, internal.get());
    AddHexOption(internalCommand, "--data", &internal->data, "the 16 bytes")->required();

    auto external = std::make_shared<AuthArgs>();
    CLI::App* externalCommand = AddCommand(
        registry, *auth, "external",
        "prove knowing a card key: its SM4 cryptogram of a card challenge", external, &External);
    AddKeyRef(externalCommand, external.get());
    AddKeyFileOption(externalCommand, "--key-file", &external->keyFile, "the card key (SM4)")
        ->required();
    externalCommand->add_option("--challenge", external->challenge, "4, 8 or 16")
        ->check(CLI::IsMember({4, 8, 16}))
        ->capture_default_str();

    auto deliver = std::make_shared<AuthArgs>();
    CLI::App* deliverCommand =
        AddCommand(registry, *auth, "deliver-key",
                   "hand a key to the card (after an external authentication)", deliver, &Deliver);
    AddKeyType(deliverCommand, deliver.get());
    AddKeyRef(deliverCommand, deliver.get());
    AddKeyFileOption(deliverCommand, "--key-file", &deliver->keyFile,
                     "the key, 8, 16, ... 56 bytes")
        ->required();

    auto token = std::make_shared<AuthArgs>();
    CLI::App* tokenCommand = AddCommand(
        registry, *auth, "token",
        "ask the card for a token, and with --data derive a session key from it", token, &Token);
    AddKeyType(tokenCommand, token.get());
    AddKeyRef(tokenCommand, token.get());
    AddHexOption(tokenCommand, "--data", &token->data, "32 bytes to derive the session key from");

    auto appKey = std::make_shared<AuthArgs>();
    AddCommand(registry, *auth, "app-key", "export an application key, encrypted by the card",
               appKey, &AppKey)
        ->add_option("--index", appKey->index, "0..14")
        ->check(CLI::Range(0u, 14u))
        ->required();
}

}  // namespace qavtool
