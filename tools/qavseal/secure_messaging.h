// The callbacks that secured commands need, computed with SM4 keys the
// person gives: command MAC, cryptogram of secured data, and the external
// authentication cryptogram. user1 is always a SecureKeys pointer.
#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"
#include "qavseal/qavseal.h"

namespace qavtool {

struct SecureKeys {
    Bytes mac;         // MAC over the command, IV = the challenge
    Bytes cryptogram;  // encrypts secured data, or the external-auth key
    ~SecureKeys();
};

// Reads a key from the file named by option: its hexadecimal digits, from a
// file or a descriptor (/dev/fd/N), so that the key never shows in the
// process list. length 0 takes any length. False with *error set when the
// file cannot be read, is not hexadecimal or holds a key of another length.
bool LoadKey(const char* option, const std::string& path, Bytes* key, std::string* error,
             size_t length = 16);

// First 4 bytes of the last block of SM4-CBC over the command, 80-padded.
uint32_t QAV_CALLBACK CommandMac(const uint8_t* challenge, uint32_t challengeLength,
                                 const uint8_t* command, uint32_t commandLength, uint8_t* mac,
                                 uintptr_t user1, uintptr_t user2);
// SM4-ECB of the 80-padded plaintext; 0 on success (secured file writes).
uint32_t QAV_CALLBACK EncryptData(const uint8_t* challenge, uint32_t challengeLength,
                                  const uint8_t* plaintext, uint32_t plaintextLength, uint8_t* out,
                                  uint32_t* outLength, uintptr_t user1, uintptr_t user2);
// The same, answering non-zero on success, as the PIN reload reads it.
uint32_t QAV_CALLBACK EncryptPinBlock(const uint8_t* challenge, uint32_t challengeLength,
                                      const uint8_t* plaintext, uint32_t plaintextLength,
                                      uint8_t* out, uint32_t* outLength, uintptr_t user1,
                                      uintptr_t user2);
// SM4-ECB of the challenge padded with zeros to one block.
uint32_t QAV_CALLBACK AuthCryptogram(const uint8_t* challenge, uint32_t challengeLength,
                                     uint8_t* out, uint32_t* outLength, uintptr_t user1,
                                     uintptr_t user2);

}  // namespace qavtool
