#include "options.h"
#include "progress.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

// A card file's positions run from 0 to FFFF.
constexpr uint64_t kFileSpace = 0x10000;

struct FileArgs {
    uint32_t fid = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t child = 0;
    std::string path;
    uint32_t challenge = 8;
    std::string macKeyFile;
    std::string encKeyFile;
};

std::string PastTheEnd(uint32_t offset, size_t length) {
    return "offset " + std::to_string(offset) + " and " + std::to_string(length) +
           " bytes run past the last position of a card file (65535)";
}

int Read(const Options& options, const FileArgs& args) {
    if (args.offset + uint64_t{args.length} > kFileSpace) {
        return Output(options.json).Usage(PastTheEnd(args.offset, args.length));
    }
    return WithSession(options, [&](Session& session, Output& out) {
        Bytes data(args.length);
        uint32_t rc = QAV_OK;
        {
            const ProgressBar bar("reading");
            rc = QAV_ReadFile(session.Handle(), args.fid, args.offset, data.data(), args.length,
                              bar.Callback(), 0, args.child);
        }
        // The card's "wrong offset" when a piece starts past the end, the
        // library's "unexpected form" when the last piece comes back short.
        if (rc == QAV_E_UNEXPECTED_DATA || rc == QAV_CARD_STATUS(0x6B00)) {
            return out.Fail("reading the file", rc,
                            "the card file is shorter than offset " + std::to_string(args.offset) +
                                " plus " + std::to_string(args.length) + " bytes");
        }
        if (rc != QAV_OK) return out.Fail("reading the file", rc);
        return Emit(out, args.path, "data", data);
    });
}

int Write(const Options& options, const FileArgs& args) {
    Output usage(options.json);
    Bytes data;
    std::string error;
    if (!ReadInputFile(args.path, &data, &error)) return usage.Usage(error);
    if (args.offset + uint64_t{data.size()} > kFileSpace) {
        return usage.Usage(PastTheEnd(args.offset, data.size()));
    }
    SecureKeys keys;
    const bool secured = !args.macKeyFile.empty();
    if (secured && (!LoadKey("--mac-key-file", args.macKeyFile, &keys.mac, &error) ||
                    !LoadKey("--enc-key-file", args.encKeyFile, &keys.cryptogram, &error))) {
        return usage.Usage(error);
    }
    return WithSession(options, [&](Session& session, Output& out) {
        uint32_t rc = QAV_OK;
        {
            const ProgressBar bar("writing");
            rc = QAV_WriteFile(session.Handle(), args.fid, args.offset, data.data(),
                               static_cast<uint32_t>(data.size()), args.challenge,
                               secured ? &EncryptData : nullptr, secured ? &CommandMac : nullptr,
                               bar.Callback(), reinterpret_cast<uintptr_t>(&keys), 0);
        }
        if (rc != QAV_OK) return out.Fail("writing the file", rc);
        out.Field("written", data.size());
        return out.Done();
    });
}

void AddLocation(CLI::App* command, FileArgs* args) {
    AddHexNumberOption(command, "--fid", &args->fid, "the file identifier, e.g. 2004")->required();
    command->add_option("--offset", args->offset, "where to start in the file, 0..65535")
        ->check(CLI::Range(0u, 65535u))
        ->capture_default_str();
}

}  // namespace

void AddFileCommands(Registry registry) {
    CLI::App* file = registry.app.add_subcommand("file", "read or write a card file");
    auto read = std::make_shared<FileArgs>();
    CLI::App* readCommand =
        AddCommand(registry, *file, "read", "read a card file (a bar shows progress)", read, &Read);
    AddLocation(readCommand, read.get());
    readCommand
        ->add_option("--length,-n", read->length,
                     "how many bytes, 1..65535; offset plus length at most 65536")
        ->required()
        ->check(CLI::Range(1u, 65535u));
    readCommand->add_option("--out,-o", read->path, "write the bytes to this file");
    readCommand->add_option("--child", read->child,
                            "select the file as a child of the current one (1: no application "
                            "selection either)");

    auto write = std::make_shared<FileArgs>();
    CLI::App* writeCommand =
        AddCommand(registry, *file, "write", "write a file's bytes to a card file", write, &Write);
    AddLocation(writeCommand, write.get());
    writeCommand->add_option("--in,-i", write->path, "the bytes to write")->required();
    CLI::Option* mac = AddKeyFileOption(writeCommand, "--mac-key-file", &write->macKeyFile,
                                        "secure each piece: SM4 key of the command MAC");
    CLI::Option* enc = AddKeyFileOption(writeCommand, "--enc-key-file", &write->encKeyFile,
                                        "SM4 key that encrypts each secured piece");
    // A secured piece is always encrypted as well: one key alone cannot work.
    mac->needs(enc);
    enc->needs(mac);
    writeCommand
        ->add_option("--challenge", write->challenge,
                     "challenge length of secured writes: 4, 8 or 16")
        ->check(CLI::IsMember({4, 8, 16}))
        ->capture_default_str();
}

}  // namespace qavtool
