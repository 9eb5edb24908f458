// SHA-256 (FIPS 180-4), for naming the exact file an image came from.
#ifndef FWU_IMAGE_SHA256_H
#define FWU_IMAGE_SHA256_H

#include <stddef.h>
#include <stdint.h>

enum { SHA256_DIGEST_SIZE = 32, SHA256_HEX_CAPACITY = 65 };

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes hashed so far
    unsigned char block[64];
    size_t used;      // bytes waiting in block
};

void sha256_start(Sha256 *s);
void sha256_add(Sha256 *s, const unsigned char *bytes, size_t count);
void sha256_finish(Sha256 *s, unsigned char digest[SHA256_DIGEST_SIZE]);

// The digest of count bytes as 64 lower-case hex digits and a NUL.
void sha256_hex(const unsigned char *bytes, size_t count, char hex[SHA256_HEX_CAPACITY]);

#endif
