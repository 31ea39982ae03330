// SHA-256 digests as lower-case hexadecimal text, as the model catalog
// writes them and the model check keys its records.
#pragma once

#include <nettle/sha2.h>

#include <array>
#include <cstdint>
#include <string>

namespace dictate {

// Finishes `ctx` (which nettle then resets) and returns its digest.
inline std::string finishSha256Hex(sha256_ctx& ctx) {
  std::array<uint8_t, SHA256_DIGEST_SIZE> digest;
  sha256_digest(&ctx, digest.size(), digest.data());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

}  // namespace dictate
