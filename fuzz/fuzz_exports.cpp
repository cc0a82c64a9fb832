// The public exports driven over the fake PC/SC service: the input picks
// the card's ATR, a sequence of exports with their arguments, and every
// answer the card gives. Each result must be one the header documents for
// that export, and the library must let go of everything it took from the
// service by its last QAV_Finalize.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/export_driver.h"

namespace {

using qav::fuzz::Bytes;

constexpr uint32_t kMaxLongAnswer = 4100;
// Service errors the input can give an exchange (the fake answers them in
// place of passing the command on).
constexpr uint32_t kExchangeFaults[] = {0x80100069u, 0x80100068u, 0x80100013u,
                                        0x8010001Du, 0x80100003u, 0x80100016u};

class FuzzCard final : public qav::fake::FakeCard {
public:
    FuzzCard(const qav::fuzz::Scenario& scenario, const uint8_t* data, size_t size,
             qav::fake::FakePcsc& pcsc)
        : atr_(scenario.atr),
          protocol_((scenario.flags & 1) != 0 ? 2u : 1u),
          reader_(qav::fuzz::ReaderName(scenario.flags)),
          data_(data + scenario.answersOffset),
          size_(size - scenario.answersOffset),
          pcsc_(pcsc) {}

    Bytes Atr() const override { return atr_; }
    uint32_t Protocol() const override { return protocol_; }

    Bytes Transmit(const Bytes&) override {
        for (;;) {
            if (at_ >= size_) return {};  // out of answers: the card is gone
            const uint8_t n = data_[at_++];
            if (n == qav::fuzz::kAnswerFault) {
                pcsc_.Inject(qav::fake::Call::Transmit,
                             kExchangeFaults[Next() % std::size(kExchangeFaults)]);
                continue;
            }
            if (n == qav::fuzz::kAnswerReinserted) {
                // The fake serves this answer; the next exchange finds a new
                // insertion and the library has to reconnect.
                pcsc_.InsertCard(reader_, self_.lock());
                continue;
            }
            size_t length = n;
            if (n == qav::fuzz::kAnswerLong) {
                length = static_cast<size_t>(Next()) << 8;
                length |= Next();
                length = std::min<size_t>(length, kMaxLongAnswer);
            } else if (n > qav::fuzz::kAnswerLong) {
                continue;
            }
            length = std::min(length, size_ - at_);
            Bytes answer(data_ + at_, data_ + at_ + length);
            at_ += length;
            return answer;
        }
    }

    std::weak_ptr<FuzzCard> self_;

private:
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

    const Bytes atr_;
    const uint32_t protocol_;
    const char* const reader_;
    const uint8_t* const data_;
    const size_t size_;
    size_t at_ = 0;
    qav::fake::FakePcsc& pcsc_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qav::fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qav::fuzz::Scenario scenario = qav::fuzz::ParseScenario(data, size);
    qav::fake::FakePcsc pcsc;
    auto card = std::make_shared<FuzzCard>(scenario, data, size, pcsc);
    card->self_ = card;
    qav::fuzz::RunScenario(scenario, card, pcsc);
    return 0;
}
