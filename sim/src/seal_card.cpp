// The public face of the virtual key: the transport rules (T=0 or T=1
// answers, GET RESPONSE, 6Cxx), presence and the card image.
#include "vcard/seal_card.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "card_engine.h"

namespace vcard {
namespace {

Bytes WithStatus(Bytes data, uint16_t status) {
    data.push_back(static_cast<uint8_t>(status >> 8));
    data.push_back(static_cast<uint8_t>(status & 0xFF));
    return data;
}

// Historical bytes "QAVSeal v1"; T=1 cards announce TD1 and carry a TCK.
Bytes DefaultAtr(Transport transport) {
    const std::string history = "QAVSeal v1";
    Bytes atr;
    if (transport == Transport::T0) {
        atr = {0x3B, static_cast<uint8_t>(history.size())};
        atr.insert(atr.end(), history.begin(), history.end());
        return atr;
    }
    atr = {0x3B, static_cast<uint8_t>(0x80 | history.size()), 0x01};
    atr.insert(atr.end(), history.begin(), history.end());
    uint8_t check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check = static_cast<uint8_t>(check ^ atr[i]);
    atr.push_back(check);
    return atr;
}

bool SameCommand(const Apdu& a, const Apdu& b) {
    return a.cla == b.cla && a.ins == b.ins && a.p1 == b.p1 && a.p2 == b.p2 && a.data == b.data;
}

}  // namespace

struct SealCard::Impl {
    Impl(CardImage image, const Options& opts) : engine(std::move(image), opts), options(opts) {}

    Bytes Exchange(const Bytes& command);
    Bytes Deliver(const Apdu& apdu, Answer answer);
    Bytes TakePending(size_t le);

    // One card, one reader: calls from several threads are taken in turn.
    mutable std::mutex mutex;
    CardEngine engine;
    Options options;
    unsigned long commands = 0;
    bool present = true;
    Bytes pending;
    struct Retry {
        Apdu command;
        Answer answer;
    };
    std::optional<Retry> retry;
};

Bytes SealCard::Impl::TakePending(size_t le) {
    const size_t count = std::min(le, pending.size());
    Bytes out(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
    if (pending.empty()) return WithStatus(out, sw::kOk);
    return WithStatus(out,
                      static_cast<uint16_t>(0x6100 | (pending.size() > 255 ? 0 : pending.size())));
}

Bytes SealCard::Impl::Deliver(const Apdu& apdu, Answer answer) {
    const size_t size = answer.data.size();
    if (answer.sw != sw::kOk || size == 0) return WithStatus(std::move(answer.data), answer.sw);
    const size_t le = apdu.hasLe ? apdu.le : 256;
    const bool t0 = options.transport == Transport::T0;
    if (t0 && (!apdu.hasLe || !apdu.data.empty())) {
        // Case 3 and 4 commands under T=0: the answer waits for GET RESPONSE.
        // A T=0 reader never passes a case 4 command's Le on to the card.
        pending = std::move(answer.data);
        return WithStatus({}, static_cast<uint16_t>(0x6100 | (size > 255 ? 0 : size)));
    }
    if (t0 && size < le) {
        retry = Retry{apdu, std::move(answer)};
        return WithStatus({}, static_cast<uint16_t>(0x6C00 | size));
    }
    if (size <= le) return WithStatus(std::move(answer.data), sw::kOk);
    pending = std::move(answer.data);
    return TakePending(le);
}

Bytes SealCard::Impl::Exchange(const Bytes& command) {
    const std::optional<Apdu> parsed = ParseApdu(command);
    if (!parsed) {
        pending.clear();
        return WithStatus({}, sw::kWrongLength);
    }
    const Apdu& apdu = *parsed;
    if (apdu.cla == 0x00 && apdu.ins == 0xC0) {
        if (pending.empty()) return WithStatus({}, sw::kConditions);
        if (apdu.p1 != 0 || apdu.p2 != 0) return WithStatus({}, sw::kWrongP1P2);
        return TakePending(apdu.hasLe ? apdu.le : 256);
    }
    pending.clear();
    if (retry && SameCommand(retry->command, apdu)) {
        Answer answer = std::move(retry->answer);
        retry.reset();
        return Deliver(apdu, std::move(answer));
    }
    retry.reset();
    return Deliver(apdu, engine.Process(apdu));
}

SealCard::SealCard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SealCard::~SealCard() = default;

std::unique_ptr<SealCard> SealCard::CreateDefault(const Options& options) {
    return std::unique_ptr<SealCard>(new SealCard(std::make_unique<Impl>(DefaultImage(), options)));
}

std::unique_ptr<SealCard> SealCard::FromJson(const std::string& json, const Options& options) {
    return std::unique_ptr<SealCard>(
        new SealCard(std::make_unique<Impl>(ImageFromJson(json), options)));
}

std::unique_ptr<SealCard> SealCard::FromJsonFile(const std::string& path, const Options& options) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read card image " + path);
    std::stringstream text;
    text << in.rdbuf();
    return FromJson(text.str(), options);
}

std::vector<uint8_t> SealCard::Atr() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->options.atr.empty()) return impl_->options.atr;
    if (!impl_->engine.Image().atr.empty()) return impl_->engine.Image().atr;
    return DefaultAtr(impl_->options.transport);
}

std::vector<uint8_t> SealCard::Transmit(const std::vector<uint8_t>& command) {
    try {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->present) return {};
        ++impl_->commands;
        if (impl_->options.vanishAfter >= 0 &&
            impl_->commands > static_cast<unsigned long>(impl_->options.vanishAfter)) {
            impl_->present = false;
            return {};
        }
        return impl_->Exchange(command);
    } catch (...) {
        return {0x6F, 0x00};
    }
}

void SealCard::Reset() {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->engine.PowerOn();
    impl_->pending.clear();
    impl_->retry.reset();
}

bool SealCard::Present() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->present;
}

bool SealCard::Modified() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->engine.Modified();
}

void SealCard::ClearModified() {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->engine.ClearModified();
}

unsigned long SealCard::CommandCount() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->commands;
}

const Options& SealCard::GetOptions() const { return impl_->options; }

std::string SealCard::ToJson() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return ImageToJson(impl_->engine.Image());
}

void SealCard::SaveJson(const std::string& path) const {
    // Written beside the target and renamed, so a crash never leaves half an image.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << ToJson();
        if (!out) throw std::runtime_error("cannot write card image " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace " + path);
}

}  // namespace vcard
