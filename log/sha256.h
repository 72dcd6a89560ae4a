// SHA-256 (FIPS 180-4) of a file or a buffer, for the run report's record of which file went to or
// came from a unit. Call order: sha256_init, sha256_update any number of times, sha256_final; or
// sha256_file for a whole file.
// Example: the digest of "abc" is ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha256 {
  uint32_t state[8];
  uint64_t length;  // bytes hashed so far
  uint8_t block[64];
  size_t used;      // bytes waiting in `block`
};

void sha256_init(Sha256* sha);
void sha256_update(Sha256* sha, const uint8_t* data, size_t size);
// The digest as 64 lower-case hex digits and a terminator.
void sha256_final(Sha256* sha, char hex[65]);

// The digest and size of a whole file. 0, or -1 when it cannot be opened or read.
int32_t sha256_file(const char* path, char hex[65], uint64_t* size);
