#pragma once
// AES-128 (FIPS-197): one-block ECB decryption for the key a board returns, CBC encryption and
// decryption for a board's secure key file. Every call keeps its own state.
#include <array>
#include <cstddef>
#include <cstdint>

namespace station {

using Aes128Key = std::array<uint8_t, 16>;
using Aes128ExpandedKey = std::array<uint8_t, 176>;

// The 16-byte default key shared with the boards' firmware (the key they encrypt their
// returned key with).
const Aes128Key& Aes128DefaultKey();

Aes128ExpandedKey Aes128KeyExpansion(const uint8_t key[16]);
void Aes128Cipher(uint8_t state[16], const Aes128ExpandedKey& w);
void Aes128InvCipher(uint8_t state[16], const Aes128ExpandedKey& w);

// Copies the 16 input bytes to `output` and decrypts them in place under `key`, or under the
// default key when `key` is null.
void Aes128EcbDecrypt(const uint8_t input[16], const uint8_t* key, uint8_t output[16]);
// CBC over `length` bytes; the output holds ceil(length / 16) blocks (a last partial block is
// padded with zero bytes).
void Aes128CbcEncrypt(uint8_t* output, const uint8_t* input, size_t length, const uint8_t key[16],
                      const uint8_t iv[16]);
void Aes128CbcDecrypt(uint8_t* output, const uint8_t* input, size_t length, const uint8_t key[16],
                      const uint8_t iv[16]);

}  // namespace station
