#include <nlohmann/json.hpp>
#include <stdexcept>

#include "card_image.h"

namespace vcard {
namespace {

using nlohmann::json;

const char* AccessName(Access access) {
    switch (access) {
        case Access::Always:
            return "always";
        case Access::Pin:
            return "pin";
        case Access::External:
            return "external";
        case Access::Secure:
            return "secure";
        case Access::Never:
            return "never";
    }
    return "never";
}

Access AccessFromName(const std::string& name) {
    for (const Access a :
         {Access::Always, Access::Pin, Access::External, Access::Secure, Access::Never}) {
        if (name == AccessName(a)) return a;
    }
    throw std::runtime_error("unknown access rule '" + name + "'");
}

std::string Hex16(unsigned value) {
    return ToHex(Bytes{static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

uint16_t Parse16(const std::string& text) {
    const Bytes b = FromHex(text);
    if (b.size() != 2) throw std::runtime_error("identifier '" + text + "' is not 2 bytes");
    return Be16(b.data());
}

uint8_t Parse8(const std::string& text) {
    const unsigned long v = std::stoul(text, nullptr, 0);
    if (v > 0xFF) throw std::runtime_error("key reference out of range: " + text);
    return static_cast<uint8_t>(v);
}

json FilesToJson(const std::map<uint16_t, CardFile>& files) {
    json out = json::object();
    for (const auto& [id, file] : files) {
        out[Hex16(id)] = {{"read", AccessName(file.read)},
                          {"write", AccessName(file.write)},
                          {"data", ToHex(file.data)}};
    }
    return out;
}

std::map<uint16_t, CardFile> FilesFromJson(const json& in) {
    std::map<uint16_t, CardFile> files;
    for (const auto& [id, entry] : in.items()) {
        CardFile file;
        file.read = AccessFromName(entry.at("read").get<std::string>());
        file.write = AccessFromName(entry.at("write").get<std::string>());
        file.data = FromHex(entry.at("data").get<std::string>());
        files[Parse16(id)] = std::move(file);
    }
    return files;
}

template <typename K>
json KeysToJson(const std::map<K, Bytes>& keys) {
    json out = json::object();
    for (const auto& [ref, key] : keys) out[std::to_string(ref)] = ToHex(key);
    return out;
}

}  // namespace

std::string ImageToJson(const CardImage& image) {
    json pictures = json::object();
    for (const auto& [ref, file] : image.pictures) pictures[Hex16(ref)] = Hex16(file);
    json tries = json::object();
    for (const auto& [ref, left] : image.externalTries) tries[std::to_string(ref)] = left;
    json aids = json::array();
    for (const Bytes& aid : image.paymentAids) aids.push_back(ToHex(aid));
    const json out = {
        {"format", "qavseal-vcard-1"},
        {"atr", ToHex(image.atr)},
        {"ability", image.ability},
        {"pin",
         {{"value", image.pin},
          {"max_tries", image.pinMaxTries},
          {"tries_left", image.pinTriesLeft}}},
        {"keys",
         {{"mac", ToHex(image.macKey)},
          {"enc", ToHex(image.encKey)},
          {"cipher", ToHex(image.cipherKey)},
          {"external_auth", KeysToJson(image.externalKeys)},
          {"external_auth_tries", tries},
          {"internal_auth", KeysToJson(image.internalKeys)},
          {"app_auth", KeysToJson(image.appAuthKeys)},
          {"delivered", KeysToJson(image.deliveredKeys)}}},
        {"mf_files", FilesToJson(image.mfFiles)},
        {"seal_files", FilesToJson(image.sealFiles)},
        {"pictures", pictures},
        {"payment", {{"track2", ToHex(image.track2)}, {"aids", aids}}},
    };
    return out.dump(1);
}

CardImage ImageFromJson(const std::string& text) {
    try {
        const json in = json::parse(text);
        if (in.value("format", "") != "qavseal-vcard-1")
            throw std::runtime_error("not a qavseal-vcard-1 image");
        CardImage image;
        image.atr = FromHex(in.at("atr").get<std::string>());
        image.ability = in.at("ability").get<uint8_t>();
        const json& pin = in.at("pin");
        image.pin = pin.at("value").get<std::string>();
        image.pinMaxTries = pin.at("max_tries").get<uint8_t>();
        image.pinTriesLeft = pin.at("tries_left").get<uint8_t>();
        const json& keys = in.at("keys");
        image.macKey = FromHex(keys.at("mac").get<std::string>());
        image.encKey = FromHex(keys.at("enc").get<std::string>());
        image.cipherKey = FromHex(keys.at("cipher").get<std::string>());
        for (const auto& [ref, key] : keys.at("external_auth").items())
            image.externalKeys[Parse8(ref)] = FromHex(key.get<std::string>());
        for (const auto& [ref, left] : keys.at("external_auth_tries").items())
            image.externalTries[Parse8(ref)] = left.get<uint8_t>();
        for (const auto& [ref, key] : keys.at("internal_auth").items())
            image.internalKeys[Parse8(ref)] = FromHex(key.get<std::string>());
        for (const auto& [ref, key] : keys.at("app_auth").items())
            image.appAuthKeys[Parse8(ref)] = FromHex(key.get<std::string>());
        for (const auto& [ref, key] : keys.at("delivered").items())
            image.deliveredKeys[static_cast<uint16_t>(std::stoul(ref))] =
                FromHex(key.get<std::string>());
        image.mfFiles = FilesFromJson(in.at("mf_files"));
        image.sealFiles = FilesFromJson(in.at("seal_files"));
        for (const auto& [ref, file] : in.at("pictures").items())
            image.pictures[Parse16(ref)] = Parse16(file.get<std::string>());
        image.track2 = FromHex(in.at("payment").at("track2").get<std::string>());
        for (const json& aid : in.at("payment").at("aids"))
            image.paymentAids.push_back(FromHex(aid.get<std::string>()));
        return image;
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("card image: ") + e.what());
    } catch (const std::logic_error& e) {
        // Bad hex digits, numbers that do not parse or do not fit.
        throw std::runtime_error(std::string("card image: ") + e.what());
    }
}

}  // namespace vcard
