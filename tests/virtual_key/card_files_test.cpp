// The seal card layer against the virtual key: secured writes whose
// cryptograms and MACs the key checks, reads in pieces, the container table,
// seal data and seal signatures checked with host-side cryptography.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/seal_application.h"
#include "host_crypto.h"
#include "secure_channel.h"
#include "support/card_callbacks.h"
#include "virtual_key_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::ToHex;
using Percents = std::vector<uint32_t>;
using test::kTransports;
using test::WithTransport;

constexpr uint16_t kPinMarkerFile = 0x1011;

// Bytes that differ from their neighbours and from zero-filled files.
Bytes Pattern(size_t length, uint8_t first) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(first + i * 7);
    return out;
}

Bytes Slice(const Bytes& bytes, size_t at, size_t length) {
    return {bytes.begin() + static_cast<std::ptrdiff_t>(at),
            bytes.begin() + static_cast<std::ptrdiff_t>(at + length)};
}

class KeyCardTest : public test::VirtualKeyTest {
protected:
    void InsertAndOpen(const vcard::Options& options = {},
                       const std::string& image = DefaultImage()) {
        Insert(options, image);
        handle = Open();
    }
    uint32_t WriteSecured(uint32_t offset, const Bytes& data, uint32_t challengeLength) {
        return WriteCardFile(Device(handle), kPinMarkerFile, offset, data.data(),
                             static_cast<uint32_t>(data.size()), challengeLength,
                             test::ChannelEncrypt, test::ChannelMac, nullptr, channel.User(), 0);
    }
    uint32_t SelectById(uint16_t fid) {
        uint8_t control[64];
        uint32_t length = sizeof control;
        return Card(handle).SelectFile(0, nullptr, 0, fid, control, &length, 0);
    }
    uint32_t Read(uint16_t fid, uint32_t offset, Bytes* out) {
        auto length = static_cast<uint32_t>(out->size());
        return ReadCardFile(Device(handle), fid, offset, out->data(), &length, test::LoggedProgress,
                            log.User(), 0);
    }

    QAV_HANDLE handle = 0;
    test::SecureChannel channel;
    test::CallbackLog log;
};

TEST_F(KeyCardTest, SecuredWriteInTheKeysSchemeLandsWithoutThePin) {
    const Bytes before = ImageFile(DefaultImage(), kPinMarkerFile);
    ASSERT_EQ(before.size(), 1024u);
    const Bytes data = Pattern(600, 3);
    for (const uint32_t challengeLength : {4u, 8u, 16u}) {
        InsertAndOpen();
        channel = test::SecureChannel{};
        ASSERT_EQ(WriteSecured(0x0010, data, challengeLength), QAV_OK) << challengeLength;

        const Bytes now = FileNow(kPinMarkerFile);
        ASSERT_EQ(now.size(), 1024u);
        EXPECT_EQ(ToHex(Slice(now, 0x10, 600)), ToHex(data));
        EXPECT_EQ(ToHex(Slice(now, 0, 0x10)), ToHex(Slice(before, 0, 0x10)));
        EXPECT_EQ(ToHex(Slice(now, 0x10 + 600, 1024 - 0x10 - 600)),
                  ToHex(Slice(before, 0x10 + 600, 1024 - 0x10 - 600)));

        // Three pieces of 238, 238 and 124 bytes, each after its own challenge;
        // a piece and its length byte make 239 bytes, 240 once padded.
        // The headers only (a challenge is no longer than its header).
        std::vector<std::string> sent = Sent();
        for (std::string& command : sent) command.resize(14);
        const std::string challenge =
            "00 84 00 00 " + ToHex({static_cast<uint8_t>(challengeLength)});
        EXPECT_EQ(sent, (std::vector<std::string>{"00 A4 00 00 02", challenge, "04 D6 00 10 F4",
                                                  challenge, "04 D6 00 FE F4", challenge,
                                                  "04 D6 01 EC 84"}));
        ASSERT_EQ(channel.challenges.size(), 3u);
        EXPECT_EQ(channel.challenges[0].size(), challengeLength);
        EXPECT_NE(channel.challenges[0], channel.challenges[1]);
    }
    // Without the MAC the file's own condition, the PIN, applies.
    EXPECT_EQ(WritePlain(handle, kPinMarkerFile, 0, 0x01), QAV_CARD_STATUS(0x6982u));
}

TEST_F(KeyCardTest, RefusedMacEndsTheWriteAndKeepsTheEarlierPieces) {
    InsertAndOpen();
    const Bytes before = ImageFile(DefaultImage(), kPinMarkerFile);
    const Bytes data = Pattern(600, 0x40);
    channel.spoilMacOf = 1;
    EXPECT_EQ(WriteSecured(0, data, 8), QAV_CARD_STATUS(0x6988u));
    EXPECT_EQ(pcsc.SentCommands().size(), 5u);  // SELECT, then two challenges and pieces

    const Bytes now = FileNow(kPinMarkerFile);
    EXPECT_EQ(ToHex(Slice(now, 0, 238)), ToHex(Slice(data, 0, 238)));
    EXPECT_EQ(ToHex(Slice(now, 238, 1024 - 238)), ToHex(Slice(before, 238, 1024 - 238)));

    // The refused MAC used up its challenge; the next write gets a fresh one.
    channel.spoilMacOf = -1;
    EXPECT_EQ(WriteSecured(238, Slice(data, 238, 362), 8), QAV_OK);
    EXPECT_EQ(ToHex(Slice(FileNow(kPinMarkerFile), 0, 600)), ToHex(data));
}

TEST_F(KeyCardTest, ReadsInPiecesUnderBothTransports) {
    const Bytes file = Pattern(1024, 0x11);
    for (const vcard::Transport transport : kTransports) {
        InsertAndOpen(WithTransport(transport), ImageWithFile(kPinMarkerFile, file));
        log = test::CallbackLog{};
        Bytes out(500);
        ASSERT_EQ(Read(kPinMarkerFile, 0x0100, &out), QAV_OK);
        EXPECT_EQ(ToHex(out), ToHex(Slice(file, 0x100, 500)));
        EXPECT_EQ(log.percents, (Percents{0, 48, 96, 100}));

        // Past the file's end the key answers fewer bytes (T=0: asks for the
        // right Le first); the library does not pass stale bytes off as data.
        Bytes tail(32, 0xEE);
        EXPECT_EQ(Read(kPinMarkerFile, 0x03F0, &tail), QAV_E_UNEXPECTED_DATA);
        EXPECT_EQ(tail, Bytes(32, 0xEE));
        Bytes beyond(1);
        EXPECT_EQ(Read(kPinMarkerFile, 0x0400, &beyond), QAV_CARD_STATUS(0x6B00u));
    }
}

TEST_F(KeyCardTest, LengthQueryTakesAFullAnswerOrTheLeTheKeyAsksFor) {
    for (const vcard::Transport transport : kTransports) {
        InsertAndOpen(WithTransport(transport));
        ASSERT_EQ(SelectById(kPinMarkerFile), QAV_OK);
        pcsc.ResetCounts();
        // From 0100 the key answers Le 00 with a full 256 bytes.
        uint32_t length = 1234;
        EXPECT_EQ(
            Card(handle).ReadBinary(0x0100, nullptr, &length, test::LoggedProgress, log.User(), 0),
            QAV_OK);
        EXPECT_EQ(length, 1234u);
        EXPECT_EQ(log.percents, (Percents{0, 100}));
        // 240 bytes are left from 0310: T=1 answers them, T=0 asks for Le F0.
        EXPECT_EQ(Card(handle).ReadBinary(0x0310, nullptr, &length, nullptr, 0, 0), QAV_OK);
        const std::vector<std::string> expected =
            transport == vcard::Transport::T0
                ? std::vector<std::string>{"00 B0 01 00 00", "00 B0 03 10 00", "00 B0 03 10 F0"}
                : std::vector<std::string>{"00 B0 01 00 00", "00 B0 03 10 00"};
        EXPECT_EQ(Sent(), expected);
        EXPECT_EQ(Card(handle).ReadBinary(0x0400, nullptr, &length, nullptr, 0, 0),
                  QAV_CARD_STATUS(0x6B00u));
        log = test::CallbackLog{};
    }
}

TEST_F(KeyCardTest, ContainersAreFoundInTheKeysTableByExactNameAndListed) {
    InsertAndOpen();
    const Bytes image = ImageFile(DefaultImage(), kContainerTableFile);
    uint32_t size = 0;
    ASSERT_EQ(ReadContainerTable(Device(handle), nullptr, &size), QAV_OK);
    EXPECT_EQ(size, 4u * 60u);  // the count in 3001, not the 8 slots of 0FFF
    Bytes table(size);
    ASSERT_EQ(ReadContainerTable(Device(handle), table.data(), &size), QAV_OK);
    EXPECT_EQ(ToHex(table), ToHex(Slice(image, 0, 240)));

    ContainerRecord record;
    uint32_t index = 9;
    ASSERT_EQ(FindContainer(Device(handle), "QAV-RSA2048", &record, &index), QAV_OK);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(ToHex({record.bytes.begin(), record.bytes.end()}), ToHex(Slice(image, 120, 60)));

    ASSERT_EQ(FindContainer(Device(handle), "QAV-SM2-Spare", &record, &index), QAV_OK);
    EXPECT_EQ(index, 3u);
    for (const char* name : {"qav-rsa2048", "QAV-SM2", "QAV-SM2-Seal ", ""}) {
        ContainerRecord none;
        index = 9;
        EXPECT_EQ(FindContainer(Device(handle), name, &none, &index), QAV_E_NO_CONTAINER) << name;
        EXPECT_EQ(index, 9u);
    }

    // Through the exports: the names in the table's order, and each key as
    // its public-key file holds it (an RSA-2048 key is no export's to give).
    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetContainerList(handle, &names, &count, 0), QAV_OK);
    EXPECT_EQ(
        std::vector<std::string>(names, names + count),
        (std::vector<std::string>{"QAV-SM2-Seal", "QAV-RSA1024", "QAV-RSA2048", "QAV-SM2-Spare"}));
    for (const auto& [name, file] :
         {std::pair{"QAV-SM2-Seal", 0x2201}, {"QAV-RSA1024", 0x2202}, {"QAV-RSA2048", 0x2203}}) {
        Bytes exported(300), block(64);
        auto keyLength = static_cast<uint32_t>(exported.size());
        auto blockLength = static_cast<uint32_t>(block.size());
        const uint32_t rc = QAV_ExportPublicKey(handle, 0, name, 0, exported.data(), &keyLength,
                                                block.data(), &blockLength, 0);
        exported.resize(keyLength);
        EXPECT_EQ(rc, file == 0x2203 ? QAV_E_BAD_ALGORITHM : QAV_OK) << name;
        if (rc == QAV_OK) {
            EXPECT_EQ(ToHex(exported),
                      ToHex(ImageFile(DefaultImage(), static_cast<uint16_t>(file))));
        }
    }

    // A count of 3 hides the fourth record although 0FFF still holds it.
    InsertAndOpen({}, ImageWithFile(kContainerCountFile, {0x03}));
    EXPECT_EQ(FindContainer(Device(handle), "QAV-SM2-Spare", &record, &index), QAV_E_NO_CONTAINER);
    EXPECT_EQ(FindContainer(Device(handle), "QAV-SM2-Seal", &record, &index), QAV_OK);
    EXPECT_EQ(index, 0u);
}

TEST_F(KeyCardTest, SealDataDigestIsTheKeysSm3OfWhatWasSent) {
    const Bytes data = Pattern(600, 0x5A);
    for (const vcard::Transport transport : kTransports) {
        InsertAndOpen(WithTransport(transport));
        Bytes digest(32);
        uint32_t digestLength = 32;
        const auto write = [&] {
            return Card(handle).SealWrite(data.data(), 600, digest.data(), &digestLength, 0);
        };
        EXPECT_EQ(write(), QAV_CARD_STATUS(0x6982u));
        VerifyPin(handle);
        ASSERT_EQ(write(), QAV_OK);
        EXPECT_EQ(digestLength, 32u);
        EXPECT_EQ(ToHex(digest), ToHex(host::Sm3(data)));
        EXPECT_EQ(ToHex(FileNow(0x5001)), ToHex(data));
    }
}

TEST_F(KeyCardTest, SealSignatureVerifiesWithTheContainersPublicKey) {
    for (const vcard::Transport transport : kTransports) {
        InsertAndOpen(WithTransport(transport));
        ContainerRecord record;
        ASSERT_EQ(FindContainer(Device(handle), "QAV-SM2-Seal", &record, nullptr), QAV_OK);
        const auto keyFid = static_cast<int32_t>(record.PrivateKeyFid());
        Bytes publicKey(64);
        ASSERT_EQ(Read(record.PublicKeyFid(), 0, &publicKey), QAV_OK);
        ASSERT_EQ(ToHex(publicKey), ToHex(ImageFile(DefaultImage(), record.PublicKeyFid())));

        const Bytes hash = host::Sm3({'s', 'e', 'a', 'l'});
        Bytes signature(64);
        uint32_t length = 64;
        const auto sign = [&](int32_t fid) {
            return Card(handle).SealSign(fid, 0, 1, hash.data(), 32, "QAVSeal", signature.data(),
                                         &length, nullptr, 0);
        };
        EXPECT_EQ(sign(keyFid), QAV_CARD_STATUS(0x6982u));
        VerifyPin(handle);
        ASSERT_EQ(sign(keyFid), QAV_OK);
        EXPECT_EQ(length, 64u);
        EXPECT_TRUE(host::Sm2Verify(publicKey, hash, signature));
        Bytes otherHash = hash;
        otherHash[31] ^= 0x01;
        EXPECT_FALSE(host::Sm2Verify(publicKey, otherHash, signature));

        // An RSA container's key cannot make a seal signature.
        ASSERT_EQ(FindContainer(Device(handle), "QAV-RSA1024", &record, nullptr), QAV_OK);
        EXPECT_EQ(sign(static_cast<int32_t>(record.PrivateKeyFid())), QAV_CARD_STATUS(0x6985u));
    }
}

TEST_F(KeyCardTest, SealPicturesAreFoundAndReadWhole) {
    InsertAndOpen();
    uint32_t size = 1;  // any non-zero value: the answer overwrites it
    uint32_t location = 0;
    ASSERT_EQ(Card(handle).SealSign(0, 1, 2, nullptr, 0, nullptr, nullptr, &size, &location, 0),
              QAV_OK);
    EXPECT_EQ(location, 0x3101u);
    const Bytes picture = ImageFile(DefaultImage(), 0x3101);
    ASSERT_EQ(size, picture.size());
    Bytes read(size);
    ASSERT_EQ(Read(static_cast<uint16_t>(location), 0, &read), QAV_OK);
    EXPECT_EQ(read, picture);
    EXPECT_EQ(ToHex(Slice(read, 0, 8)), "89 50 4E 47 0D 0A 1A 0A");

    EXPECT_EQ(Card(handle).SealSign(0, 3, 2, nullptr, 0, nullptr, nullptr, &size, &location, 0),
              QAV_CARD_STATUS(0x6A88u));

    // The watermarked picture is made on the key and read like any other.
    VerifyPin(handle);
    const Bytes hash = host::Sm3({'d', 'o', 'c'});
    ASSERT_EQ(
        Card(handle).SealSign(0x2101, 2, 0, hash.data(), 32, "QAV", nullptr, &size, &location, 0),
        QAV_OK);
    EXPECT_EQ(location, 0x51FFu);
    const Bytes marked = FileNow(0x51FF);
    ASSERT_EQ(size, marked.size());
    EXPECT_NE(marked, ImageFile(DefaultImage(), 0x3102)) << "picture 2, watermarked";
    read.assign(size, 0);
    ASSERT_EQ(Read(0x51FF, 0, &read), QAV_OK);
    EXPECT_EQ(read, marked);
}

}  // namespace
}  // namespace qav
