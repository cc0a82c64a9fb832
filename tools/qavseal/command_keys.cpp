#include <cstring>

#include "options.h"
#include "platform/secure_memory.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

const std::map<std::string, uint32_t> kKeyTypes = {
    {"rsa1024", 1}, {"rsa2048", 2}, {"rsa1280", 0x20}, {"sm2", 4}, {"sm2b", 8}};

struct KeyArgs {
    std::string container;
    uint32_t keyType = 4;
    uint32_t mode = 0;
    uint32_t wrap = 1;
    uint32_t component = 1;
    bool isPrivate = false;
    bool raw = false;
    std::string in;
    std::string out;
    uint32_t challenge = 8;
    std::string macKeyFile;
};

std::string KeyTypeName(uint32_t keyType) {
    for (const auto& [name, value] : kKeyTypes) {
        if (value == keyType) return name;
    }
    return "unknown";
}

// The container's key type as the card's container table holds it: the
// count in file 3001, then 60-byte records (the name, NUL-padded, in the
// first 40 bytes; the key type at 41). False when the table cannot be read
// or has no such container; the library then answers for itself.
bool ContainerKeyType(QAV_HANDLE handle, const std::string& name, uint32_t* keyType) {
    constexpr uint32_t kCountFile = 0x3001;
    constexpr uint32_t kTableFile = 0x0FFF;
    constexpr size_t kRecord = 60;
    constexpr size_t kNameField = 40;
    uint8_t count = 0;
    if (QAV_ReadFile(handle, kCountFile, 0, &count, 1, nullptr, 0, 0) != QAV_OK || count == 0) {
        return false;
    }
    Bytes table(count * kRecord);
    if (QAV_ReadFile(handle, kTableFile, 0, table.data(), static_cast<uint32_t>(table.size()),
                     nullptr, 0, 0) != QAV_OK) {
        return false;
    }
    for (size_t at = 0; at < table.size(); at += kRecord) {
        const auto* field = reinterpret_cast<const char*>(table.data() + at);
        if (std::string(field, strnlen(field, kNameField)) == name) {
            *keyType = table[at + 41];
            return true;
        }
    }
    return false;
}

int KeyGen(const Options& options, const KeyArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        // The card writes a key of any type into any container but keeps
        // the container's own type, so a key of another type could never be
        // used through it.
        uint32_t containerType = 0;
        if (ContainerKeyType(session.Handle(), args.container, &containerType) &&
            containerType != args.keyType) {
            return out.Usage("container " + args.container + " holds " +
                             KeyTypeName(containerType) + " keys: generate with -t " +
                             KeyTypeName(containerType) + ", not " + KeyTypeName(args.keyType));
        }
        if (const uint32_t rc =
                QAV_GenKeyPair(session.Handle(), args.container.c_str(), args.keyType, 0)) {
            return out.Fail("generating the key pair", rc);
        }
        out.Field("key_pair", "generated");
        return out.Done();
    });
}

int PubKey(const Options& options, const KeyArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        const auto exportKey = [&](uint8_t* key, uint32_t* keyLength, uint8_t* block,
                                   uint32_t* blockLength) {
            return QAV_ExportPublicKey(session.Handle(), args.mode, args.container.c_str(),
                                       args.wrap, key, keyLength, block, blockLength, 0);
        };
        // The card's first answer first: without it the key is not read.
        Bytes block;
        uint32_t rc = AskAndFill(&block, [&](uint8_t* buffer, uint32_t* length) {
            uint32_t keyLength = 0;
            return exportKey(nullptr, &keyLength, buffer, length);
        });
        Bytes key;
        if (rc == QAV_OK) {
            rc = AskAndFill(&key, [&](uint8_t* buffer, uint32_t* length) {
                auto blockLength = static_cast<uint32_t>(block.size());
                return exportKey(buffer, length, block.data(), &blockLength);
            });
        }
        if (rc == QAV_E_BAD_ALGORITHM) {
            return out.Fail("exporting the public key", rc,
                            "the card exports the public keys of RSA-1024 and SM2 containers "
                            "only (not RSA-2048, RSA-1280 or the second SM2 kind)");
        }
        if (rc != QAV_OK) return out.Fail("exporting the public key", rc);
        out.Field("key_block", ToHex(block, 0));
        return Emit(out, args.out, "public_key", key);
    });
}

int KeyWrite(const Options& options, const KeyArgs& args) {
    Output usage(options.json);
    Bytes value;
    const qav::platform::WipeOnExit wipeValue(value);
    SecureKeys keys;
    std::string error;
    if (!ReadInputFile(args.in, &value, &error) ||
        !LoadKey("--mac-key-file", args.macKeyFile, &keys.mac, &error)) {
        return usage.Usage(error);
    }
    return WithSession(options, [&](Session& session, Output& out) {
        const auto write = args.isPrivate ? &QAV_WritePrivateKey : &QAV_WritePublicKey;
        if (const uint32_t rc =
                write(session.Handle(), args.container.c_str(), args.keyType, args.component,
                      value.data(), static_cast<uint32_t>(value.size()), nullptr, args.challenge,
                      &CommandMac, reinterpret_cast<uintptr_t>(&keys), 0)) {
            return out.Fail("loading the key", rc);
        }
        out.Field("key", "loaded");
        return out.Done();
    });
}

int KeyCalc(const Options& options, const KeyArgs& args) {
    Bytes input;
    std::string error;
    if (!ReadInputFile(args.in, &input, &error)) return Output(options.json).Usage(error);
    return WithSession(options, [&](Session& session, Output& out) {
        const auto calc = args.isPrivate ? &QAV_PrivateKeyCalc : &QAV_PublicKeyCalc;
        Bytes result;
        bool hasOutput = true;
        if (const uint32_t rc = AskAndFill(
                &result,
                [&](uint8_t* buffer, uint32_t* length) {
                    const auto inputLength = static_cast<uint32_t>(input.size());
                    if (args.raw) {
                        return QAV_PrivateKeyCalcRaw(session.Handle(), args.container.c_str(),
                                                     input.data(), inputLength, buffer, length, 0);
                    }
                    return calc(session.Handle(), args.container.c_str(), args.mode, input.data(),
                                inputLength, buffer, length, 0);
                },
                &hasOutput)) {
            return out.Fail("calculating with the key", rc);
        }
        // A verification answers nothing but its success.
        if (!hasOutput) {
            out.Field("signature", "verified");
            return out.Done();
        }
        return Emit(out, args.out, "result", result);
    });
}

void AddContainer(CLI::App* command, KeyArgs* args) {
    command->add_option("--container,-c", args->container, "the container")->required();
}

void AddKeyType(CLI::App* command, KeyArgs* args) {
    command->add_option("--type,-t", args->keyType, "rsa1024, rsa2048, rsa1280, sm2 or sm2b")
        ->transform(CLI::CheckedTransformer(kKeyTypes, CLI::ignore_case))
        ->required();
}

}  // namespace

void AddKeyCommands(Registry registry) {
    auto keygen = std::make_shared<KeyArgs>();
    CLI::App* keygenCommand = AddCommand(registry, registry.app, "keygen",
                                         "generate a key pair in a container", keygen, &KeyGen);
    AddContainer(keygenCommand, keygen.get());
    AddKeyType(keygenCommand, keygen.get());

    auto pubkey = std::make_shared<KeyArgs>();
    CLI::App* pubkeyCommand =
        AddCommand(registry, registry.app, "pubkey",
                   "export a container's public key (RSA: modulus, exponent; SM2: x, y); the "
                   "card offers it for RSA-1024 and SM2 containers, not RSA-2048, RSA-1280 or "
                   "the second SM2 kind",
                   pubkey, &PubKey);
    AddContainer(pubkeyCommand, pubkey.get());
    pubkeyCommand->add_option("--mode", pubkey->mode, "the card's export mode, 0 or 1")
        ->check(CLI::IsMember({0, 1}))
        ->capture_default_str();
    pubkeyCommand->add_option("--wrap", pubkey->wrap, "with mode 1: 1 or 3")
        ->check(CLI::IsMember({1, 3}))
        ->capture_default_str();
    pubkeyCommand->add_option("--out,-o", pubkey->out, "write the key to this file");

    auto write = std::make_shared<KeyArgs>();
    CLI::App* writeCommand =
        AddCommand(registry, registry.app, "key-write",
                   "load one key component into a container, secured by a MAC", write, &KeyWrite);
    AddContainer(writeCommand, write.get());
    AddKeyType(writeCommand, write.get());
    writeCommand->add_flag("--private", write->isPrivate, "the private-key file (default: public)");
    writeCommand
        ->add_option("--component", write->component,
                     "RSA from 1: modulus, exponent; p, q, dp, dq, qinv")
        ->capture_default_str();
    writeCommand->add_option("--in,-i", write->in, "the component's bytes")->required();
    AddSecureKeyOptions(writeCommand, &write->macKeyFile, nullptr, &write->challenge);

    auto calc = std::make_shared<KeyArgs>();
    CLI::App* calcCommand =
        AddCommand(registry, registry.app, "key-calc",
                   "a calculation with a container's public key, or with --private its private key",
                   calc, &KeyCalc);
    AddContainer(calcCommand, calc.get());
    CLI::Option* privateFlag =
        calcCommand->add_flag("--private", calc->isPrivate, "use the private key (after the PIN)");
    calcCommand
        ->add_flag("--raw", calc->raw,
                   "RSA private key: the card's raw calculation of one modulus-long block")
        ->needs(privateFlag);
    calcCommand
        ->add_option("--mode", calc->mode,
                     "RSA: 1 pads, 0 takes one whole block; SM2 public: 1 encrypts, 0 verifies "
                     "(input: hash || r || s); SM2 private: 1 signs, 0 decrypts")
        ->capture_default_str();
    calcCommand->add_option("--in,-i", calc->in, "the input, at least one byte")->required();
    calcCommand->add_option("--out,-o", calc->out, "write the result to this file");
}

}  // namespace qavtool
