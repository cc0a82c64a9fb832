// What a command prints: "Label: value" lines for people, or one JSON
// document on stdout with --json. Errors carry the result's name and
// message either way.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qavtool {

class Output {
public:
    explicit Output(bool json) : json_(json) {}

    bool Json() const { return json_; }

    // Text: "Tries left:   5" (the key with its underscores as spaces).
    void Field(const std::string& key, const nlohmann::ordered_json& value);
    // Text: one item a line, without a label.
    void List(const std::string& key, const std::vector<std::string>& items);

    // Prints the failure and gives exit status 1; message, when given,
    // says what the code means here instead of its general message.
    int Fail(const std::string& during, uint32_t rc, const std::string& message = "");
    // Prints a usage problem (also with --json, where a JSON error document
    // follows on stdout) and gives exit status 2.
    int Usage(const std::string& message);
    // Prints the JSON document, if any, and gives exit status 0.
    int Done();

private:
    bool json_;
    nlohmann::ordered_json document_ = nlohmann::ordered_json::object();
};

// Writes bytes to path when it is given, else shows them in hexadecimal
// under key; then Done().
int Emit(Output& out, const std::string& path, const char* key, const std::vector<uint8_t>& bytes);

}  // namespace qavtool
