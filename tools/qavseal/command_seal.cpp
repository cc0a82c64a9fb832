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

// The 32 bytes to sign: read from --hash-file, or hashed on the card from
// --data-file.
int TakeHash(const Session& session, const SealArgs& args, Output& out, Bytes* hash) {
    if (!args.hashFile.empty()) {
        if (!ReadFileBytes(args.hashFile, hash)) return out.Usage("cannot read " + args.hashFile);
        if (hash->size() != kHashLength) return out.Usage("the hash must be 32 bytes long");
        return 0;
    }
    if (args.dataFile.empty()) return out.Usage("give --hash-file or --data-file");
    Bytes data;
    if (!ReadFileBytes(args.dataFile, &data)) return out.Usage("cannot read " + args.dataFile);
    hash->assign(64, 0);
    auto length = static_cast<uint32_t>(hash->size());
    if (const uint32_t rc =
            QAV_Hash(session.Handle(), 0, args.algorithm, data.data(),
                     static_cast<uint32_t>(data.size()), hash->data(), &length, 0)) {
        return out.Fail("hashing on the card", rc);
    }
    hash->resize(length);
    if (length != kHashLength) return out.Usage("the seal signs 32-byte hashes: use sm3 or sha256");
    out.Field("hash", ToHex(*hash, 0));
    return 0;
}

const char* Text(const SealArgs& args) { return args.text.empty() ? nullptr : args.text.c_str(); }

int Sign(const Options& options, const SealArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    Bytes hash;
    if (const int status = TakeHash(session, args, out, &hash)) return status;
    Bytes signature(64);
    auto length = static_cast<uint32_t>(signature.size());
    if (const uint32_t rc = QAV_SealSign(session.Handle(), args.container.c_str(), hash.data(),
                                         kHashLength, Text(args), signature.data(), &length, 0)) {
        return out.Fail("signing the seal", rc);
    }
    signature.resize(length);
    return Emit(out, args.out, "signature", args.der ? SignatureToDer(signature) : signature);
}

// Pictures are as large as the card says; the watermarked one is drawn anew
// at each request, so the second request gets room to spare.
int SavePicture(Output& out, const SealArgs& args,
                const std::function<uint32_t(Bytes*, uint32_t*)>& get) {
    uint32_t length = 1;
    uint32_t rc = get(nullptr, &length);
    Bytes picture(length + 4096);
    length = static_cast<uint32_t>(picture.size());
    if (rc == QAV_OK) rc = get(&picture, &length);
    if (rc != QAV_OK) return out.Fail("reading the seal picture", rc);
    picture.resize(length);
    const bool png =
        picture.size() > sizeof kPngSignature &&
        std::equal(std::begin(kPngSignature), std::end(kPngSignature), picture.begin());
    out.Field("format", png ? "PNG" : "unknown (saved as the card gave it)");
    return Emit(out, args.out, "picture", picture);
}

int Picture(const Options& options, const SealArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    return SavePicture(out, args, [&](Bytes* picture, uint32_t* length) {
        return QAV_GetSealPic(session.Handle(), args.picture,
                              picture != nullptr ? picture->data() : nullptr, length, 0);
    });
}

int Watermark(const Options& options, const SealArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    Bytes hash;
    if (const int status = TakeHash(session, args, out, &hash)) return status;
    return SavePicture(out, args, [&](Bytes* picture, uint32_t* length) {
        return QAV_GetSealWaterMarkPic(session.Handle(), args.container.c_str(), args.picture,
                                       hash.data(), kHashLength, Text(args),
                                       picture != nullptr ? picture->data() : nullptr, length, 0);
    });
}

struct SealWriteArgs {
    std::string in;
    Bytes expected;
};

int SealWrite(const Options& options, const SealWriteArgs& args) {
    Bytes data;
    if (!ReadFileBytes(args.in, &data)) return Output(options.json).Usage("cannot read " + args.in);
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
        char number[64] = {};
        uint32_t length = sizeof number;
        if (const uint32_t rc = QAV_GetCardNumber(session.Handle(), number, &length, 0)) {
            return out.Fail("reading the card number", rc);
        }
        out.Field("card_number", number);
        return out.Done();
    });
}

void AddHashSource(CLI::App* command, SealArgs* args) {
    command->add_option("--container,-c", args->container, "the container of the seal key")
        ->required();
    CLI::Option* hash = command->add_option("--hash-file", args->hashFile, "the 32-byte hash");
    CLI::Option* data =
        command->add_option("--data-file", args->dataFile, "hash this file on the card first");
    hash->excludes(data);
    command->add_option("--algorithm,-a", args->algorithm, "with --data-file: sm3 or sha256")
        ->transform(CLI::CheckedTransformer(kHashAlgorithms, CLI::ignore_case))
        ->capture_default_str();
    command->add_option("--text", args->text, "text signed along");
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
