#include "util/hash.h"

#include "util/coding.h"

namespace corvantine::util {

void DualHasher::Update(const void* data, size_t n) {
  constexpr uint64_t kFnvPrime = 0x100000001b3;
  constexpr uint64_t kGoldenRatio = 0x9e3779b185ebca87;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t lane1 = lane1_;
  uint64_t lane2 = lane2_;
  for (size_t i = 0; i < n; ++i) {
    lane1 = (lane1 ^ bytes[i]) * kFnvPrime;
    lane2 = (lane2 ^ (uint64_t{bytes[i]} << 1)) * kGoldenRatio;
  }
  lane1_ = lane1;
  lane2_ = lane2;
}

DualHashDigest DualHasher::Finish() const {
  DualHashDigest digest;
  char* out = reinterpret_cast<char*>(digest.data());
  EncodeFixed64(out, lane1_);
  EncodeFixed64(out + 8, lane2_);
  return digest;
}

DualHashDigest DualHash(std::string_view bytes) {
  DualHasher hasher;
  hasher.Update(bytes);
  return hasher.Finish();
}

}  // namespace corvantine::util
