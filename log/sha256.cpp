// SHA-256 after FIPS 180-4, section 6.2.
#include "log/sha256.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t block[64]) {
  uint32_t w[64];
  for (size_t t = 0; t < 16; ++t) {
    w[t] = static_cast<uint32_t>(block[4 * t]) << 24 | static_cast<uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<uint32_t>(block[4 * t + 2]) << 8 | static_cast<uint32_t>(block[4 * t + 3]);
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRound[t] + w[t];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}
}  // namespace

void sha256_init(Sha256* sha) {
  static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(sha->state, kInitial, sizeof kInitial);
  sha->length = 0;
  sha->used = 0;
}

void sha256_update(Sha256* sha, const uint8_t* data, size_t size) {
  sha->length += size;
  while (size > 0) {
    size_t take = 64 - sha->used;
    if (take > size) take = size;
    std::memcpy(sha->block + sha->used, data, take);
    sha->used += take;
    data += take;
    size -= take;
    if (sha->used == 64) {
      compress(sha->state, sha->block);
      sha->used = 0;
    }
  }
}

void sha256_final(Sha256* sha, char hex[65]) {
  const uint64_t bits = sha->length * 8;
  sha->block[sha->used++] = 0x80;
  if (sha->used > 56) {
    std::memset(sha->block + sha->used, 0, 64 - sha->used);
    compress(sha->state, sha->block);
    sha->used = 0;
  }
  std::memset(sha->block + sha->used, 0, 56 - sha->used);
  for (int i = 0; i < 8; ++i) sha->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  compress(sha->state, sha->block);
  for (int i = 0; i < 8; ++i) {
    const auto word = static_cast<unsigned>(sha->state[i]);
    std::snprintf(hex + 8 * static_cast<size_t>(i), 9, "%08x", word);
  }
  hex[64] = '\0';
}

int32_t sha256_file(const char* path, char hex[65], uint64_t* size) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return -1;
  Sha256 sha;
  sha256_init(&sha);
  uint8_t buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) sha256_update(&sha, buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return -1;
  *size = sha.length;
  sha256_final(&sha, hex);
  return 0;
}
