#include "output.h"

#include <cctype>
#include <cstdio>

#include "bytes.h"
#include "result_messages.h"

namespace qavtool {
namespace {

std::string Label(const std::string& key) {
    std::string label = key;
    for (char& c : label) {
        if (c == '_') c = ' ';
    }
    // The one abbreviation people read in capitals.
    for (size_t at = label.find("pin"); at != std::string::npos; at = label.find("pin", at + 3)) {
        const bool word =
            (at == 0 || label[at - 1] == ' ') && (at + 3 == label.size() || label[at + 3] == ' ');
        if (word) label.replace(at, 3, "PIN");
    }
    if (!label.empty())
        label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
    return label + ":";
}

std::string Plain(const nlohmann::ordered_json& value) {
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

void Output::Field(const std::string& key, const nlohmann::ordered_json& value) {
    if (json_) {
        document_[key] = value;
        return;
    }
    std::printf("%-22s %s\n", Label(key).c_str(), Plain(value).c_str());
}

void Output::List(const std::string& key, const std::vector<std::string>& items) {
    if (json_) {
        document_[key] = items;
        return;
    }
    for (const std::string& item : items) std::printf("%s\n", item.c_str());
}

int Output::Fail(const std::string& during, uint32_t rc, const std::string& message) {
    const std::string text = message.empty() ? DescribeResult(rc) : message;
    if (json_) {
        document_["error"] = {
            {"during", during}, {"code", Hex8(rc)}, {"name", ResultName(rc)}, {"message", text}};
        std::printf("%s\n", document_.dump(2).c_str());
    } else {
        std::fflush(stdout);
        const std::string name = ResultName(rc);
        const std::string code = name == Hex8(rc) ? name : name + ", " + Hex8(rc);
        std::fprintf(stderr, "qavseal: %s: %s (%s)\n", during.c_str(), text.c_str(), code.c_str());
    }
    return 1;
}

int Output::Usage(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "qavseal: %s\n", message.c_str());
    if (json_) {
        const nlohmann::ordered_json error = {{"error", {{"kind", "usage"}, {"message", message}}}};
        std::printf("%s\n", error.dump(2).c_str());
    }
    return 2;
}

int Output::Done() {
    if (json_) std::printf("%s\n", document_.dump(2).c_str());
    return 0;
}

// Writes bytes to --out when given, else shows them in hexadecimal.
int Emit(Output& out, const std::string& path, const char* key, const Bytes& bytes) {
    if (path.empty()) {
        out.Field(key, ToHex(bytes, 0));
    } else {
        if (!WriteFileBytes(path, bytes)) return out.Usage("cannot write " + path);
        out.Field("written", path);
        out.Field("length", bytes.size());
    }
    return out.Done();
}

}  // namespace qavtool
