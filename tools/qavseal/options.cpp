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

CLI::Option* AddKeyFileOption(CLI::App* command, const std::string& name, std::string* path,
                              const std::string& help) {
    return command
        ->add_option(name, *path,
                     help +
                         "; the file (or /dev/fd/N) holds the key in hexadecimal, which "
                         "keeps it out of the process list")
        ->type_name("FILE");
}

void AddSecureKeyOptions(CLI::App* command, std::string* macKeyFile, std::string* encKeyFile,
                         uint32_t* challenge, const char* encHelp) {
    AddKeyFileOption(command, "--mac-key-file", macKeyFile, "SM4 key of the command MAC")
        ->required();
    if (encKeyFile != nullptr) {
        AddKeyFileOption(command, "--enc-key-file", encKeyFile,
                         std::string("SM4 key that ") + encHelp);
    }
    command->add_option("--challenge", *challenge, "challenge length: 4, 8 or 16")
        ->check(CLI::IsMember({4, 8, 16}))
        ->capture_default_str();
}

}  // namespace qavtool
