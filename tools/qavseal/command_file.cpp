#include "options.h"
#include "progress.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

struct FileArgs {
    uint32_t fid = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t child = 0;
    std::string path;
    uint32_t challenge = 8;
    Bytes macKey;
    Bytes encKey;
};

int Read(const Options& options, const FileArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    Bytes data(args.length);
    uint32_t rc = QAV_OK;
    {
        const ProgressBar bar("reading");
        rc = QAV_ReadFile(session.Handle(), args.fid, args.offset, data.data(), args.length,
                          bar.Callback(), 0, args.child);
    }
    if (rc != QAV_OK) return out.Fail("reading the file", rc);
    return Emit(out, args.path, "data", data);
}

int Write(const Options& options, const FileArgs& args) {
    Output out(options.json);
    Bytes data;
    if (!ReadFileBytes(args.path, &data)) return out.Usage("cannot read " + args.path);
    Session session;
    if (const int status = session.Open(options, out)) return status;
    const SecureKeys keys{args.macKey, args.encKey};
    const bool secured = !args.macKey.empty();
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
}

void AddLocation(CLI::App* command, FileArgs* args) {
    AddHexNumberOption(command, "--fid", &args->fid, "the file identifier, e.g. 2004")->required();
    command->add_option("--offset", args->offset, "where to start in the file")
        ->capture_default_str();
}

}  // namespace

void AddFileCommands(Registry registry) {
    CLI::App* file = registry.app.add_subcommand("file", "read or write a card file");
    auto read = std::make_shared<FileArgs>();
    CLI::App* readCommand =
        AddCommand(registry, *file, "read", "read a card file (a bar shows progress)", read, &Read);
    AddLocation(readCommand, read.get());
    readCommand->add_option("--length,-n", read->length, "how many bytes")
        ->required()
        ->check(CLI::Range(1u, 65536u));
    readCommand->add_option("--out,-o", read->path, "write the bytes to this file");
    readCommand->add_option("--child", read->child,
                            "select the file as a child of the current one (1: no application "
                            "selection either)");

    auto write = std::make_shared<FileArgs>();
    CLI::App* writeCommand =
        AddCommand(registry, *file, "write", "write a file's bytes to a card file", write, &Write);
    AddLocation(writeCommand, write.get());
    writeCommand->add_option("--in,-i", write->path, "the bytes to write")->required();
    AddHexOption(writeCommand, "--mac-key", &write->macKey,
                 "secure each piece: SM4 key of the command MAC (needs --enc-key)");
    AddHexOption(writeCommand, "--enc-key", &write->encKey, "SM4 key that encrypts each piece");
    writeCommand->add_option("--challenge", write->challenge, "challenge length: 4, 8 or 16")
        ->check(CLI::IsMember({4, 8, 16}));
}

}  // namespace qavtool
