// SM3 hash (GB/T 32905-2016): streaming context, one-shot call, self-test.
//
// The context is a plain caller-owned record. Between calls `index` is 0..63
// (bytes waiting in `block`) and `bit_count` counts the bits of the blocks
// compressed so far; SM3_done leaves `index` 56 and `bit_count` the message
// length in bits. Whole blocks are compressed straight from the caller's
// buffer; the fastest compression the CPU supports is chosen at run time.
#pragma once

#include <cstdint>

struct SM3_context {
  uint32_t state[8];   // chaining value A..H
  uint64_t bit_count;  // bits of the compressed blocks
  uint32_t index;      // bytes waiting in block, 0..63 between calls
  uint8_t block[64];   // partial block, filled from position 0
};

void SM3_init(SM3_context* ctx);
// Absorbs len (not negative) bytes; any division of a message gives the same digest.
void SM3_process(SM3_context* ctx, const uint8_t* data, int32_t len);
// Pads, compresses the last block(s) and writes the 32-byte digest.
void SM3_done(SM3_context* ctx, uint8_t* out);
void SM3_256(const uint8_t* data, int32_t len, uint8_t* out);
// Known-answer test on the standard's two examples: 0 pass, 1 fail.
int SM3_SelfTest();
