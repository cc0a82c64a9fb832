// The shared key commands on the wire, on both card classes: exact headers,
// the forced length forms, pieces at their boundaries, the MAC'd forms, and
// answers of the wrong shape.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Bytes;
using test::CallbackLog;
using test::Command;
using test::Counting;
using test::Hex;
using test::Join;
using test::kFakeMac;
using test::LoggedMac;
using test::ScriptedReader;
using Data = std::vector<uint8_t>;

// header, Lc, data and Le 00.
std::string CommandLe(std::string_view header, const Data& data) {
    return Command(header, data) + " 00";
}
Data Slice(const Data& data, size_t at, size_t length) {
    return Data(data.begin() + static_cast<std::ptrdiff_t>(at),
                data.begin() + static_cast<std::ptrdiff_t>(at + length));
}

template <typename Card>
class KeyCommandsTest : public ::testing::Test {
protected:
    static constexpr bool kSeal = std::is_same_v<Card, CCardSeal>;

    // The reader, the card as both classes share it, an output and its length.
    auto Parts() { return std::tie(reader_, card_, out_, length_, log_); }

private:
    ScriptedReader reader_{kProtocolT1};
    Card concrete_{&reader_};
    CCardKeyCommands& card_ = concrete_;
    CallbackLog log_;
    Data out_ = Data(300);
    uint32_t length_ = 300;
};
using CardClasses = ::testing::Types<CCardSeal, CCardZel>;
TYPED_TEST_SUITE(KeyCommandsTest, CardClasses);

TYPED_TEST(KeyCommandsTest, SessionKeysExportImportAndDelete) {
    auto [r, card, out, length, log] = this->Parts();
    r.Expect("80 D8 01 02 12", Answer(Join({Bytes("C1 10"), Counting(16)})));
    ASSERT_EQ(card.ExportSessionKey(2, 0, 1, 0, 0, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(16));

    uint32_t index = 2;
    r.Expect("80 4A FF 03 00", "90 00");
    EXPECT_EQ(card.ImportSessionKey(2, 0, 0, 0, 0, 0, nullptr, 0, &index, 0), 0u);
    // Load at index 3 with the flag: P2 10 + 3 + 1; the card names the index.
    index = 3;
    r.Expect(CommandLe("80 4A 04 14", Join({Bytes("C1 08"), Counting(8)})), "02 90 00");
    EXPECT_EQ(card.ImportSessionKey(1, 0, 4, 1, 0, 0, Counting(8).data(), 8, &index, 0), 0u);
    EXPECT_EQ(index, 2u);
    // Found by the export fuzz target: a key number above 4 made a handle no
    // later command takes.
    index = 3;
    r.Expect(CommandLe("80 4A 04 14", Join({Bytes("C1 08"), Counting(8)})), "05 90 00");
    EXPECT_EQ(card.ImportSessionKey(1, 0, 4, 1, 0, 0, Counting(8).data(), 8, &index, 0),
              QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(index, 3u);
    // A wrapped block of the caller's length fills one 249-byte piece; one
    // byte more takes a second piece (P1 08 first, 20 last).
    for (const uint32_t keyLength : {241u, 242u}) {
        const Data data = Join({Bytes("C2 02 12 34 C1 82 00"),
                                {static_cast<uint8_t>(keyLength)},
                                Counting(keyLength)});
        if (keyLength == 241) {
            r.Expect(CommandLe("80 4A 02 A0", data), "90 00");
        } else {
            r.Expect(CommandLe("80 4A 0A A0", Slice(data, 0, 249)), "09 90 00")
                .Expect(CommandLe("80 4A 22 A0", Slice(data, 249, 1)), "90 00");
        }
        index = 7;
        EXPECT_EQ(card.ImportSessionKey(0, 1, 2, 0, 0x1234, 2, Counting(keyLength).data(),
                                        keyLength, &index, 0),
                  0u);
        EXPECT_EQ(index, 0u) << "no data in the last answer";
    }
}

TYPED_TEST(KeyCommandsTest, HashesInPiecesWithTheKeyFileOnTheClosingOne) {
    auto [r, card, out, length, log] = this->Parts();
    r.Expect("80 C4 41 02 04 C0 02 12 34 00", Answer(Counting(20)));
    ASSERT_EQ(card.CardHash(1, 2, nullptr, 0, 0x1234, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(20));

    const Data data = Counting(255);
    r.Expect(CommandLe("80 C4 81 03", Join({Bytes("C0 02 12 34 C1 7F"), Slice(data, 0, 127)})),
             Answer(Counting(32)));
    EXPECT_EQ(card.CardHash(2, 3, data.data(), 127, 0x1234, nullptr, &length, 0), 0u);
    EXPECT_EQ(length, 32u);
    r.Expect(CommandLe("80 C4 00 01", Join({Bytes("C1 7F"), Slice(data, 0, 127)})), "90 00")
        .Expect(CommandLe("80 C4 02 01", Join({Bytes("C1 7F"), Slice(data, 127, 127)})), "90 00")
        .Expect(CommandLe("80 C4 03 01", Join({Bytes("C1 01"), Slice(data, 254, 1)})),
                Answer(Counting(32, 9)));
    EXPECT_EQ(card.CardHash(0, 1, data.data(), 255, 0, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(32, 9));
}

TYPED_TEST(KeyCommandsTest, RsaPairsAndCalculations) {
    auto [r, card, out, length, log] = this->Parts();
    const Data modulus = Counting(128, 1);
    const Data key = Join({Bytes("C3 81 80"), modulus, Bytes("C9 04 00 01 00 01")});
    r.Expect("80 42 00 00 08 C0 02 00 00 C2 02 21 02 00", Answer(key));
    ASSERT_EQ(card.GenRSAKeyPair(1024, 0x2102, 0, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Join({modulus, Bytes("00 01 00 01")}));
    r.Expect("80 42 00 00 08 C0 02 00 00 C2 02 21 02 00",
             Answer(Join({Bytes("C9 04 00 01 00 01 C3 81 80"), modulus})));
    length = 300;
    EXPECT_EQ(card.GenRSAKeyPair(1024, 0x2102, 0, out.data(), &length, 0), QAV_E_UNEXPECTED_DATA);

    // 2048 bits: 264 bytes of data in pieces of 249 (public) or 250
    // (private), P1 base + 1 then + 3, Le on the last only.
    const std::string base = TestFixture::kSeal ? "C" : "4";
    const Data input = Counting(256, 3);
    for (const auto& [ins, fileTag, piece] :
         {std::tuple{"46", "C0", size_t{249}}, {"48", "C2", size_t{250}}}) {
        const Data data = Join({Bytes(std::string(fileTag) + " 02 22 02 C1 82 01 00"), input});
        r.Expect(Command("80 " + std::string(ins) + " " + base + "1 02", Slice(data, 0, piece)),
                 "90 00")
            .Expect(CommandLe("80 " + std::string(ins) + " " + base + "3 02",
                              Slice(data, piece, data.size() - piece)),
                    Answer(Counting(256, 7)));
    }
    length = 256;
    EXPECT_EQ(card.RSAPublicKeyCalc(2048, 0x2202, input.data(), 256, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(256, 7));
    EXPECT_EQ(card.RSAPrivateKeyCalc(2048, 0x2202, input.data(), 256, out.data(), &length, 0), 0u);
    // One piece for 1024 bits; a result one byte short is refused.
    r.Expect(CommandLe("80 48 " + base + "0 00", Join({Bytes("C2 02 21 02 C1 81 80"), modulus})),
             Answer(Counting(127)));
    EXPECT_EQ(card.RSAPrivateKeyCalc(1024, 0x2102, modulus.data(), 128, out.data(), &length, 0),
              QAV_E_UNEXPECTED_DATA);
}

TYPED_TEST(KeyCommandsTest, Sm2PairsAndCalculations) {
    auto [r, card, out, length, log] = this->Parts();
    r.Expect("80 40 00 01 08 C0 02 00 00 C2 02 21 04 00",
             Answer(Join({Bytes("CA 40"), Counting(64)})));
    ASSERT_EQ(card.GenSM2KeyPair(1, 0x2104, 0, out.data(), &length, 0), 0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(64));

    r.Expect(CommandLe("80 4E 00 00", Join({Bytes("C2 02 21 04 C1 82 00 20"), Counting(32)})),
             Answer(Counting(64, 5)));
    EXPECT_EQ(card.SM2PrivateKeyCalc(0, 0x2104, Counting(32).data(), 32, out.data(), &length, 0),
              0u);
    EXPECT_EQ(Slice(out, 0, length), Counting(64, 5));
    // Verify asks for nothing back; encrypt carries its length in two bytes.
    r.Expect(Command("80 4C 00 00", Join({Bytes("C0 02 22 04 C1 82 00 60"), Counting(96)})),
             "90 00");
    EXPECT_EQ(card.SM2PublicKeyCalc(0, 0x2204, Counting(96).data(), 96, nullptr, nullptr, 0), 0u);
    r.Expect(CommandLe("80 4C 00 01", Join({Bytes("C0 02 22 04 C1 82 00 14"), Counting(20)})),
             Answer(Counting(116)));
    EXPECT_EQ(card.SM2PublicKeyCalc(1, 0x2204, Counting(20).data(), 20, nullptr, &length, 0), 0u);
    EXPECT_EQ(length, 116u);
}

TYPED_TEST(KeyCommandsTest, KeysLoadUnderTheCallersMac) {
    auto [r, card, out, length, log] = this->Parts();
    const uintptr_t user = log.User();
    // 264 bytes in pieces of 246 and 18; encrypted under key 2 (P1 80 + 08),
    // first 20 and last 60, 2048 bits 03. Lc counts the MAC.
    const Data data = Join({Bytes("C0 02 22 03 C3 82 01 00"), Counting(256)});
    const std::string first = Command("84 C6 AB 01", Join({Slice(data, 0, 246), kFakeMac}));
    r.Expect("00 84 00 00 08", Answer(Counting(8, 0xA0)))
        .Expect(first, "90 00")
        .Expect("00 84 00 00 08", Answer(Counting(8, 0xB0)))
        .Expect(Command("84 C6 EB 01", Join({Slice(data, 246, 18), kFakeMac})), "90 00");
    EXPECT_EQ(card.WriteRSAKey(2048, 1, 0, 0x2203, 2, 1, Counting(256).data(), 256, 8, LoggedMac,
                               user, 0),
              0u);
    ASSERT_EQ(log.macInputs.size(), 2u);
    EXPECT_EQ(log.macInputs[0], first.substr(0, first.size() - 12));

    // A refused MAC ends the load with its result after the challenge.
    log.macResult = test::kCallbackFailure;
    r.Expect("00 84 00 00 04", Answer(Counting(4)));
    EXPECT_EQ(
        card.WriteRSAKey(1024, 0, 1, 0x2203, 0, 0, Counting(4).data(), 4, 4, LoggedMac, user, 0),
        test::kCallbackFailure);
    log.macResult = QAV_OK;

    // SM2 private key, encrypted under key 1 (P1 80 + 01), flag 40, variant
    // 01: the two 01s add up.
    const Data sm2 = Join({Bytes("C2 02 21 04 CB 30"), Counting(48)});
    r.Expect("00 84 00 00 10", Answer(Counting(16)))
        .Expect(Command("84 C2 C2 01", Join({sm2, kFakeMac})), "90 00");
    EXPECT_EQ(
        card.WriteSM2Key(1, 1, 1, 0x2104, 1, 1, Counting(48).data(), 48, 16, LoggedMac, user, 0),
        0u);
    // Without a MAC callback only the seal card loads the key, unsecured.
    if (TestFixture::kSeal) {
        r.Expect(Command("80 C2 00 00", Join({Bytes("C0 02 22 04 CA 40"), Counting(64)})), "90 00");
    }
    EXPECT_EQ(card.WriteSM2Key(0, 0, 0, 0x2204, 0, 0, Counting(64).data(), 64, 8, nullptr, user, 0),
              TestFixture::kSeal ? QAV_OK : QAV_E_NULL_POINTER);
}

TYPED_TEST(KeyCommandsTest, CertificateDataGoesInTwoPasses) {
    auto [r, card, out, length, log] = this->Parts();
    const std::string files = "CC 02 00 0C CD 02 00 0D CE 02 00 0E CF 06 00 01 00 02 00 03";
    // 246 bytes fill one 250-byte piece; option 0 sets P2 01.
    r.Expect(Command("80 C8 01 01", Bytes(files)), "90 00")
        .Expect(Command("80 C8 81 01", Join({Bytes("C1 82 00 F6"), Counting(246)})), "90 00");
    EXPECT_EQ(card.VerifyCertData(0x0D, 0x0E, 0x0C, 1, 1, 2, 3, 0, Counting(246).data(), 246, 0),
              0u);
    // 500 bytes: pieces 250, 250 and 4, P2 00 then 40 then 80.
    const Data data = Join({Bytes("C1 82 01 F4"), Counting(500)});
    r.Expect(Command("80 C8 00 00", Bytes(files)), "90 00")
        .Expect(Command("80 C8 80 00", Slice(data, 0, 250)), "90 00")
        .Expect(Command("80 C8 80 40", Slice(data, 250, 250)), "90 00")
        .Expect(Command("80 C8 80 80", Slice(data, 500, 4)), "6A 80");
    EXPECT_EQ(card.VerifyCertData(0x0D, 0x0E, 0x0C, 0, 1, 2, 3, 1, Counting(500).data(), 500, 0),
              QAV_CARD_STATUS(0x6A80u));
}

class ZelKeyCommandsTest : public ::testing::Test {
protected:
    ScriptedReader reader{kProtocolT1};
    CCardZel card{&reader};
    Data out = Data(600);
    uint32_t length = 600;
};

TEST_F(ZelKeyCommandsTest, SessionKeyCipherLeadsWithTheKeyAndIv) {
    const Data input = Counting(500);
    const Data iv = Counting(16, 0xF0);
    reader
        .Expect(Command("80 FA 01 C1", Join({Bytes("00 00 00 03"), iv, Slice(input, 0, 208)})),
                Answer(Counting(208)))
        .Expect(Command("80 FA 02 00", Slice(input, 208, 208)), Answer(Counting(208, 1)))
        .Expect(CommandLe("80 FA 03 00", Slice(input, 416, 84)), Answer(Counting(84, 2)));
    ASSERT_EQ(
        card.SessionKeyCipher(1, 3, 1, iv.data(), 16, input.data(), 500, out.data(), &length, 0),
        0u);
    EXPECT_EQ(Slice(out, 0, length), Join({Counting(208), Counting(208, 1), Counting(84, 2)}));

    // One piece exactly; an answer past the room, or short of the input,
    // is refused.
    const std::string only = CommandLe("80 FA 00 40", Join({Bytes("00 00 00 00"), Counting(208)}));
    reader.Expect(only, Answer(Counting(209))).Expect(only, Answer(Counting(207)));
    for (int i = 0; i < 2; ++i) {
        length = 208;
        EXPECT_EQ(card.SessionKeyCipher(0, 0, 0, nullptr, 0, Counting(208).data(), 208, out.data(),
                                        &length, 0),
                  QAV_E_UNEXPECTED_DATA);
    }
}

TEST_F(ZelKeyCommandsTest, PublicKeyExportRepeatsBothStepsOnceAfterAFailedSend) {
    const std::string step1 = "80 C9 01 01 08 C0 02 22 02 C2 02 21 02 00";
    const Data modulus = Counting(128);
    reader.Expect(step1, "C1 03 01 04 00 90 00")
        .Expect("80 C9 01 81 00", "6A 82")
        .Expect(step1, "C1 03 01 04 00 90 00")
        .Expect("80 C9 01 81 89", Answer(Join({Bytes("C3 81 80"), modulus, Bytes("C9 01 03")})));
    uint32_t blockLength = 10;
    ASSERT_EQ(card.ExportPublicKey(0, 0x2202, 0, 0x2102, 1, 0, out.data(), &length,
                                   out.data() + 300, &blockLength, 0),
              0u);
    EXPECT_EQ(Slice(out, 0, length), Join({modulus, Bytes("03")}));
    EXPECT_EQ(Slice(out, 300, blockLength), Bytes("01 04 00"));
    // SM2, mode 2 with the flag: without a block buffer it ends after step 1.
    reader.Expect("80 C9 C0 01 08 C0 02 22 04 C2 02 21 04 00", "C1 02 AA BB 90 00");
    EXPECT_EQ(card.ExportPublicKey(2, 0x2204, 1, 0x2104, 0, 1, out.data(), &length, nullptr,
                                   &blockLength, 0),
              0u);
    EXPECT_EQ(blockLength, 2u);
}

}  // namespace
}  // namespace qav
