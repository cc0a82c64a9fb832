#include <cstdio>

#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

struct ApduArgs {
    std::vector<std::string> commands;
    bool lock = false;
};

// Holds the card's transaction for its lifetime.
class Transaction {
public:
    explicit Transaction(QAV_HANDLE handle) : handle_(handle), rc_(QAV_Lock(handle, 0)) {}
    ~Transaction() {
        if (rc_ == QAV_OK) QAV_Unlock(handle_, 0);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    uint32_t Result() const { return rc_; }

private:
    QAV_HANDLE handle_;
    uint32_t rc_;
};

// CLA INS P1 P2: a card cannot even read a command shorter.
constexpr size_t kHeader = 4;

int Apdu(const Options& options, const ApduArgs& args) {
    std::vector<Bytes> commands;
    for (const std::string& text : args.commands) {
        Bytes command;
        if (!ParseHex(text, &command) || command.empty()) {
            return Output(options.json).Usage("not a command in hexadecimal: " + text);
        }
        if (command.size() < kHeader) {
            return Output(options.json)
                .Usage("a command APDU begins with 4 bytes (CLA INS P1 P2); " + text + " has " +
                       std::to_string(command.size()));
        }
        commands.push_back(std::move(command));
    }
    return WithSession(options, [&](Session& session, Output& out) {
        std::unique_ptr<Transaction> transaction;
        if (args.lock) {
            transaction = std::make_unique<Transaction>(session.Handle());
            if (transaction->Result() != QAV_OK) {
                return out.Fail("beginning the transaction", transaction->Result());
            }
        }
        nlohmann::ordered_json exchanges = nlohmann::ordered_json::array();
        for (const Bytes& command : commands) {
            Bytes response(65536);
            auto length = static_cast<uint32_t>(response.size());
            uint32_t sw = 0;
            if (!out.Json()) std::printf("> %s\n", ToHex(command).c_str());
            const uint32_t rc = QAV_Transmit(session.Handle(), command.data(),
                                             static_cast<uint32_t>(command.size()), response.data(),
                                             &length, &sw, 0);
            if (rc != QAV_OK) {
                out.Field("exchanges", exchanges);
                return out.Fail("sending the command", rc);
            }
            response.resize(length);
            char status[8];
            std::snprintf(status, sizeof status, "%04X", sw);
            if (out.Json()) {
                exchanges.push_back({{"command", ToHex(command, 0)},
                                     {"response", ToHex(response, 0)},
                                     {"sw", status}});
            } else {
                std::printf("< %s%s%s\n", ToHex(response).c_str(), length != 0 ? " " : "", status);
            }
        }
        if (out.Json()) out.Field("exchanges", exchanges);
        return out.Done();
    });
}

}  // namespace

void AddApduCommand(Registry registry) {
    auto args = std::make_shared<ApduArgs>();
    CLI::App* apdu = AddCommand(registry, registry.app, "apdu",
                                "send raw command APDUs, show the answers", args, &Apdu);
    apdu->add_option("HEX", args->commands,
                     "one command APDU in hexadecimal per argument, at least CLA INS P1 P2")
        ->required();
    apdu->add_flag("--lock", args->lock,
                   "hold the card's transaction, keeping other programs out, for all commands");
}

}  // namespace qavtool
