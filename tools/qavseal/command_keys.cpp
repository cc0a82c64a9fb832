#include "options.h"
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
    std::string in;
    std::string out;
    uint32_t challenge = 8;
    Bytes macKey;
};

int KeyGen(const Options& options, const KeyArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
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
        Bytes key;
        Bytes block(64);
        auto blockLength = static_cast<uint32_t>(block.size());
        if (const uint32_t rc = FillBytes(600, &key, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_ExportPublicKey(session.Handle(), args.mode, args.container.c_str(),
                                           args.wrap, buffer, length, block.data(), &blockLength,
                                           0);
            })) {
            return out.Fail("exporting the public key", rc);
        }
        block.resize(blockLength);
        out.Field("key_block", ToHex(block, 0));
        return Emit(out, args.out, "public_key", key);
    });
}

int KeyWrite(const Options& options, const KeyArgs& args) {
    Bytes value;
    if (!ReadFileBytes(args.in, &value))
        return Output(options.json).Usage("cannot read " + args.in);
    return WithSession(options, [&](Session& session, Output& out) {
        const SecureKeys keys{args.macKey, {}};
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
    if (!ReadFileBytes(args.in, &input))
        return Output(options.json).Usage("cannot read " + args.in);
    return WithSession(options, [&](Session& session, Output& out) {
        const auto calc = args.isPrivate ? &QAV_PrivateKeyCalc : &QAV_PublicKeyCalc;
        Bytes result;
        if (const uint32_t rc = FillBytes(1024, &result, [&](uint8_t* buffer, uint32_t* length) {
                return calc(session.Handle(), args.container.c_str(), args.mode, input.data(),
                            static_cast<uint32_t>(input.size()), buffer, length, 0);
            })) {
            return out.Fail("calculating with the key", rc);
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
    CLI::App* pubkeyCommand = AddCommand(
        registry, registry.app, "pubkey",
        "export a container's public key (RSA: modulus, exponent; SM2: x, y)", pubkey, &PubKey);
    AddContainer(pubkeyCommand, pubkey.get());
    pubkeyCommand->add_option("--mode", pubkey->mode, "the card's export mode, 0 or 1")
        ->capture_default_str();
    pubkeyCommand->add_option("--wrap", pubkey->wrap, "with mode 1: 1 or 3")->capture_default_str();
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
    AddSecureKeyOptions(writeCommand, &write->macKey, nullptr, &write->challenge);

    auto calc = std::make_shared<KeyArgs>();
    CLI::App* calcCommand =
        AddCommand(registry, registry.app, "key-calc",
                   "a calculation with a container's public key, or with --private its private key",
                   calc, &KeyCalc);
    AddContainer(calcCommand, calc.get());
    calcCommand->add_flag("--private", calc->isPrivate, "use the private key (after the PIN)");
    calcCommand
        ->add_option("--mode", calc->mode,
                     "RSA: 1 pads; SM2 public: 1 encrypts, 0 verifies; "
                     "SM2 private: 1 signs, 0 decrypts")
        ->capture_default_str();
    calcCommand->add_option("--in,-i", calc->in, "the input")->required();
    calcCommand->add_option("--out,-o", calc->out, "write the result to this file");
}

}  // namespace qavtool
