#include "utils/uuid.h"

#include <sys/random.h>

#include <chrono>
#include <mutex>
#include <random>

namespace {

std::mutex gRandomMutex;

std::mt19937_64& Generator() {
  static std::mt19937_64 gen = [] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != sizeof seed) {
      seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return std::mt19937_64(seed);
  }();
  return gen;
}

}  // namespace

uint64_t RandomU64() {
  std::lock_guard lock(gRandomMutex);
  return Generator()();
}

int GetUUID(char* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  uint64_t bits[3] = {RandomU64(), RandomU64(), RandomU64()};
  for (int i = 0; i < 36; ++i) {
    uint64_t& word = bits[i / 16];
    out[i] = kHex[word & 0xF];
    word >>= 4;
  }
  out[8] = out[13] = out[18] = out[23] = '-';
  out[36] = '\0';
  return 0;
}

std::string GetUUID() {
  char buf[37];
  GetUUID(buf);
  return buf;
}
