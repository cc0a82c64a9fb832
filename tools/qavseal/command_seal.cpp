#include <algorithm>
#include <functional>

#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

constexpr uint32_t kHashLength = 32;
constexpr uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct SealArgs {
    std::string container;
    std::string hashFile;
    std::string dataFile;
    uint32_t algorithm = 1;
    std::string text;
    bool der = false;
    uint32_t picture = 1;
    std::string out;
};

constexpr size_t kMaxText = 64;

// What can be checked before the card is touched.
// The hash file is read here, the data file too (the card hashes it later).
int CheckSealArgs(const SealArgs& args, Output& out, Bytes* hash, Bytes* data) {
    if (args.text.size() > kMaxText) {
        return out.Usage("--text: the card signs at most 64 bytes of text, not " +
                         std::to_string(args.text.size()));
    }
    std::string error;
    if (!args.hashFile.empty()) {
        if (!ReadFileBytes(args.hashFile, hash)) return out.Usage("cannot read " + args.hashFile);
        if (hash->size() != kHashLength) {
            return out.Usage(args.hashFile + " holds " + std::to_string(hash->size()) +
                             " bytes: the seal signs a 32-byte hash");
        }
        return 0;
    }
    if (args.dataFile.empty()) return out.Usage("give --hash-file or --data-file");
    if (args.algorithm != kHashAlgorithms.at("sm3") &&
        args.algorithm != kHashAlgorithms.at("sha256")) {
        return out.Usage("the seal signs 32-byte hashes: hash with sm3 or sha256");
    }
    if (!ReadInputFile(args.dataFile, data, &error)) return out.Usage(error);
    return 0;
}

// The 32 bytes to sign: read from --hash-file already, or hashed on the
// card from --data-file.
int TakeHash(const Session& session, const SealArgs& args, Output& out, const Bytes& data,
             Bytes* hash) {
    if (!args.hashFile.empty()) return 0;
    if (const uint32_t rc = AskAndFill(hash, [&](uint8_t* buffer, uint32_t* length) {
            return QAV_Hash(session.Handle(), 0, args.algorithm, data.data(),
                            static_cast<uint32_t>(data.size()), buffer, length, 0);
        })) {
        return out.Fail("hashing on the card", rc);
    }
    out.Field("hash", ToHex(*hash, 0));
    return 0;
}

const char* Text(const SealArgs& args) { return args.text.empty() ? nullptr : args.text.c_str(); }

// Checks the arguments, opens the session and takes the hash, then runs
// body(session, out, hash).
template <typename Body>
int WithHash(const Options& options, const SealArgs& args, Body body) {
    Bytes hash;
    Bytes data;
    {
        Output out(options.json);
        if (const int status = CheckSealArgs(args, out, &hash, &data)) return status;
    }
    return WithSession(options, [&](Session& session, Output& out) {
        if (const int status = TakeHash(session, args, out, data, &hash)) return status;
        return body(session, out, hash);
    });
}

int Sign(const Options& options, const SealArgs& args) {
    return WithHash(options, args, [&](Session& session, Output& out, const Bytes& hash) {
        Bytes signature;
        if (const uint32_t rc = AskAndFill(&signature, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_SealSign(session.Handle(), args.container.c_str(), hash.data(),
                                    kHashLength, Text(args), buffer, length, 0);
            })) {
            return out.Fail("signing the seal", rc);
        }
        return Emit(out, args.out, "signature", args.der ? SignatureToDer(signature) : signature);
    });
}

// Pictures are as large as the card says. The watermarked one is drawn
// anew at each request, so the second request gets room to spare.
int SavePicture(Output& out, const SealArgs& args, uint32_t slack,
                const std::function<uint32_t(uint8_t*, uint32_t*)>& get) {
    Bytes picture;
    if (const uint32_t rc = AskAndFill(&picture, get, nullptr, slack)) {
        return out.Fail("reading the seal picture", rc);
    }
    const bool png =
        picture.size() > sizeof kPngSignature &&
        std::equal(std::begin(kPngSignature), std::end(kPngSignature), picture.begin());
    out.Field("format", png ? "PNG" : "unknown (saved as the card gave it)");
    return Emit(out, args.out, "picture", picture);
}

int Picture(const Options& options, const SealArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        return SavePicture(out, args, 0, [&](uint8_t* picture, uint32_t* length) {
            return QAV_GetSealPic(session.Handle(), args.picture, picture, length, 0);
        });
    });
}

int Watermark(const Options& options, const SealArgs& args) {
    return WithHash(options, args, [&](Session& session, Output& out, const Bytes& hash) {
        return SavePicture(out, args, 1024, [&](uint8_t* picture, uint32_t* length) {
            return QAV_GetSealWaterMarkPic(session.Handle(), args.container.c_str(), args.picture,
                                           hash.data(), kHashLength, Text(args), picture, length,
                                           0);
        });
    });
}

struct SealWriteArgs {
    std::string in;
    Bytes expected;
};

int SealWrite(const Options& options, const SealWriteArgs& args) {
    Output usage(options.json);
    if (args.expected.size() != kHashLength) {
        return usage.Usage("--digest: an SM3 digest is 32 bytes, not " +
                           std::to_string(args.expected.size()));
    }
    Bytes data;
    std::string error;
    if (!ReadInputFile(args.in, &data, &error)) return usage.Usage(error);
    return WithSession(options, [&](Session& session, Output& out) {
        if (const uint32_t rc = QAV_SealWrite(
                session.Handle(), data.data(), static_cast<uint32_t>(data.size()),
                args.expected.data(), static_cast<uint32_t>(args.expected.size()), 0)) {
            return out.Fail("loading the seal data", rc);
        }
        out.Field("seal_data", "loaded, digest matches");
        return out.Done();
    });
}

int CardNumber(const Options& options, const int&) {
    return WithSession(options, [](Session& session, Output& out) {
        Bytes number;
        if (const uint32_t rc = AskAndFill(&number, [&](uint8_t* buffer, uint32_t* length) {
                return QAV_GetCardNumber(session.Handle(), reinterpret_cast<char*>(buffer), length,
                                         0);
            })) {
            return out.Fail("reading the card number", rc);
        }
        // The size counts the terminating NUL.
        out.Field("card_number",
                  std::string(number.begin(), std::find(number.begin(), number.end(), 0)));
        return out.Done();
    });
}

void AddHashSource(CLI::App* command, SealArgs* args) {
    command->add_option("--container,-c", args->container, "the container of the seal key")
        ->required();
    CLI::Option* hash = command->add_option(
        "--hash-file", args->hashFile, "the 32-byte hash to sign (SM3 or SHA-256 of the data)");
    CLI::Option* data = command->add_option("--data-file", args->dataFile,
                                            "hash this file (at least one byte) on the card first");
    hash->excludes(data);
    command->add_option("--algorithm,-a", args->algorithm, "with --data-file: sm3 or sha256")
        ->transform(CLI::CheckedTransformer(kHashAlgorithms, CLI::ignore_case))
        ->capture_default_str();
    command->add_option("--text", args->text, "text signed along, at most 64 bytes");
}

}  // namespace

void AddSealCommands(Registry registry) {
    auto sign = std::make_shared<SealArgs>();
    CLI::App* signCommand = AddCommand(registry, registry.app, "sign",
                                       "sign a hash with a container's seal key", sign, &Sign);
    AddHashSource(signCommand, sign.get());
    signCommand->add_option("--out,-o", sign->out, "write the signature (r || s) to this file");
    signCommand->add_flag("--der", sign->der, "the signature as DER, as OpenSSL verifies it");

    auto picture = std::make_shared<SealArgs>();
    CLI::App* pictureCommand =
        AddCommand(registry, registry.app, "picture", "save a seal picture", picture, &Picture);
    pictureCommand->add_option("--picture,-p", picture->picture, "which picture (1, 2, ...)")
        ->capture_default_str();
    pictureCommand->add_option("--out,-o", picture->out, "the file, e.g. seal.png")->required();

    auto watermark = std::make_shared<SealArgs>();
    CLI::App* watermarkCommand = AddCommand(
        registry, registry.app, "watermark",
        "save a seal picture watermarked with a hash and its signature", watermark, &Watermark);
    AddHashSource(watermarkCommand, watermark.get());
    watermarkCommand->add_option("--picture,-p", watermark->picture, "which picture")
        ->capture_default_str();
    watermarkCommand->add_option("--out,-o", watermark->out, "the file, e.g. sealed.png")
        ->required();

    auto sealWrite = std::make_shared<SealWriteArgs>();
    CLI::App* sealWriteCommand =
        AddCommand(registry, registry.app, "seal-write",
                   "load seal data and check the card's SM3 digest of it", sealWrite, &SealWrite);
    sealWriteCommand->add_option("--in,-i", sealWrite->in, "the seal data")->required();
    AddHexOption(sealWriteCommand, "--digest", &sealWrite->expected, "the SM3 digest expected")
        ->required();

    auto none = std::make_shared<int>();
    AddCommand(registry, registry.app, "cardnumber",
               "the account number of the card's payment application", none, &CardNumber);
}

}  // namespace qavtool
