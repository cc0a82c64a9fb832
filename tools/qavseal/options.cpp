#include "options.h"

namespace qavtool {

CLI::Option* AddHexOption(CLI::App* command, const std::string& name, Bytes* bytes,
                          const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [bytes](const std::string& text) {
                if (!ParseHex(text, bytes)) throw CLI::ValidationError("not hexadecimal: " + text);
            },
            help)
        ->type_name("HEX");
}

CLI::Option* AddHexNumberOption(CLI::App* command, const std::string& name, uint32_t* value,
                                const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [value](const std::string& text) {
                size_t used = 0;
                unsigned long number = 0;
                try {
                    number = std::stoul(text, &used, 16);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used == 0 || used != text.size() || number > 0xFFFFFFFFul) {
                    throw CLI::ValidationError("not a hexadecimal number: " + text);
                }
                *value = static_cast<uint32_t>(number);
            },
            help)
        ->type_name("HEX");
}

void AddSecureKeyOptions(CLI::App* command, Bytes* macKey, Bytes* encKey, uint32_t* challenge) {
    AddHexOption(command, "--mac-key", macKey, "SM4 key of the command MAC")->required();
    if (encKey != nullptr) {
        AddHexOption(command, "--enc-key", encKey, "SM4 key that encrypts the secured data");
    }
    command->add_option("--challenge", *challenge, "challenge length: 4, 8 or 16")
        ->check(CLI::IsMember({4, 8, 16}))
        ->capture_default_str();
}

}  // namespace qavtool
