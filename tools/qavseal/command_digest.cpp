#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

struct RandomArgs {
    uint32_t length = 16;
    std::string out;
};

int Random(const Options& options, const RandomArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes bytes(args.length);
        if (const uint32_t rc = QAV_GenRandom(session.Handle(), bytes.data(), args.length, 0)) {
            return out.Fail("reading random bytes", rc);
        }
        return Emit(out, args.out, "random", bytes);
    });
}

struct HashArgs {
    uint32_t mode = 0;
    uint32_t algorithm = 1;
    std::string in;
    std::string out;
};

constexpr uint32_t kModeZ = 1;

int Hash(const Options& options, const HashArgs& args) {
    Bytes data;
    if (args.mode != kModeZ) {
        std::string error;
        if (args.in.empty()) {
            return Output(options.json).Usage("give the data to hash with --in FILE");
        }
        if (!ReadInputFile(args.in, &data, &error)) return Output(options.json).Usage(error);
    }
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes digest;
        if (const uint32_t rc = AskAndFill(&digest, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_Hash(session.Handle(), args.mode, args.algorithm, data.data(),
                                static_cast<uint32_t>(data.size()), buffer, length, 0x3000);
            })) {
            return out.Fail("hashing on the card", rc);
        }
        return Emit(out, args.out, "digest", digest);
    });
}

}  // namespace

const std::map<std::string, uint32_t> kHashAlgorithms = {{"sm3", 1}, {"sha1", 2}, {"sha256", 3}};

void AddDigestCommands(Registry registry) {
    auto random = std::make_shared<RandomArgs>();
    CLI::App* randomCommand =
        AddCommand(registry, registry.app, "random", "random bytes from the card", random, &Random);
    randomCommand->add_option("--length,-n", random->length, "how many bytes, 1..65535")
        ->check(CLI::Range(1u, 65535u))
        ->capture_default_str();
    randomCommand->add_option("--out,-o", random->out, "write them to this file");

    auto hash = std::make_shared<HashArgs>();
    CLI::App* hashCommand =
        AddCommand(registry, registry.app, "hash", "hash a file on the card", hash, &Hash);
    hashCommand->add_option("--in,-i", hash->in,
                            "the data, at least one byte (required but with --mode z)");
    hashCommand->add_option("--algorithm,-a", hash->algorithm, "sm3, sha1 or sha256")
        ->transform(CLI::CheckedTransformer(kHashAlgorithms, CLI::ignore_case))
        ->capture_default_str();
    hashCommand
        ->add_option("--mode", hash->mode,
                     "data: the data; z: the Z value of the key in file 3000; z+data: both")
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, uint32_t>{{"data", 0}, {"z", 1}, {"z+data", 2}}))
        ->capture_default_str();
    hashCommand->add_option("--out,-o", hash->out, "write the digest to this file");
}

}  // namespace qavtool
