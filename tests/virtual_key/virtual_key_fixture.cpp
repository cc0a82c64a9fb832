#include "virtual_key_fixture.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "api/frame.h"
#include "device/seal_application.h"

namespace qav::test {

const std::string& VirtualKeyTest::DefaultImage() {
    static const std::string image = vcard::SealCard::CreateDefault()->ToJson();
    return image;
}

namespace {

std::string FileName(uint16_t fid) {
    char name[5];
    std::snprintf(name, sizeof name, "%04X", static_cast<unsigned>(fid));
    return name;
}

}  // namespace

fake::Bytes VirtualKeyTest::ImageFile(const std::string& image, uint16_t fid) {
    const nlohmann::json files = nlohmann::json::parse(image).at("seal_files");
    if (!files.contains(FileName(fid))) return {};
    return fake::FromHex(files.at(FileName(fid)).at("data").get<std::string>());
}

std::string VirtualKeyTest::ImageWithFile(uint16_t fid, const fake::Bytes& data) {
    nlohmann::json image = nlohmann::json::parse(DefaultImage());
    std::string hex = fake::ToHex(data);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    image.at("seal_files").at(FileName(fid))["data"] = hex;
    return image.dump();
}

void VirtualKeyTest::Insert(const vcard::Options& options, const std::string& image) {
    key = std::make_shared<VirtualKeyCard>(vcard::SealCard::FromJson(image, options));
    pcsc.InsertCard(kReader, key);
}

QAV_HANDLE VirtualKeyTest::Open() {
    QAV_HANDLE handle = 0;
    EXPECT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_OK);
    pcsc.ResetCounts();
    return handle;
}

CDevice& VirtualKeyTest::Device(QAV_HANDLE handle) {
    CDevice* device = nullptr;
    if (api::CheckDevice(handle, &device) != QAV_OK) throw std::invalid_argument("no such device");
    return *device;
}

CCardSeal& VirtualKeyTest::Card(QAV_HANDLE handle) {
    CCardSeal* card = SealCardOf(Device(handle));
    if (card == nullptr) throw std::invalid_argument("not a seal card");
    return *card;
}

uint32_t VirtualKeyTest::WritePlain(QAV_HANDLE handle, uint16_t fid, uint32_t offset,
                                    uint8_t byte) {
    return WriteCardFile(Device(handle), fid, offset, &byte, 1, 0, nullptr, nullptr, nullptr, 0, 0);
}

fake::Bytes VirtualKeyTest::FileNow(uint16_t fid) const {
    return ImageFile(key->Key().ToJson(), fid);
}

std::vector<std::string> VirtualKeyTest::Sent() const {
    std::vector<std::string> sent;
    for (const fake::Bytes& command : pcsc.SentCommands()) sent.push_back(fake::ToHex(command));
    return sent;
}

size_t VirtualKeyTest::SelectsSent() const {
    const std::vector<fake::Bytes> sent = pcsc.SentCommands();
    return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [](const fake::Bytes& c) {
        return c.size() >= 2 && c[1] == 0xA4;
    }));
}

}  // namespace qav::test
