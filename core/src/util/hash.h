// The two-lane 16-byte hash behind stream ids and fingerprints. Lane 1 is
// FNV-1a 64; lane 2 starts from lane 1's start value with its halves swapped
// and mixes each byte, doubled, with a golden-ratio multiplier. The digest is
// lane 1 then lane 2, each little-endian. Stored ids depend on these exact
// bytes: the function must never change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvantine::util {

using DualHashDigest = std::array<uint8_t, 16>;

// Hashes input given in pieces: the digest of the concatenation.
class DualHasher {
 public:
  void Update(const void* data, size_t n);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // The digest of everything so far; more updates may follow.
  DualHashDigest Finish() const;

 private:
  uint64_t lane1_ = 0xcbf29ce484222325;
  uint64_t lane2_ = 0x84222325cbf29ce4;
};

DualHashDigest DualHash(std::string_view bytes);

}  // namespace corvantine::util
