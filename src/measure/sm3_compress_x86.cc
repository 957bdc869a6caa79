// SM3 compression with the message expansion in vector registers (x86-64).
//
// The rounds are a serial chain of scalar work, so the expansion, which is
// independent of them, moves to the vector units: four words of W at a time,
// and W' = W_j ^ W_(j+4) with one more instruction, stored to a small table
// that the rounds read as memory operands. Each group of four words is issued
// a few rounds before the rounds need it, so it overlaps the scalar chain.
//
// The vector code is written with the compiler's generic vector types rather
// than intrinsics, so one body serves every instruction set: each entry point
// below compiles it for its own target. With AVX-512VL the rotations become
// single vprold instructions and the three-way xors vpternlogd; with AVX the
// forms have three operands; with BMI2 the scalar rounds rotate with rorx,
// which needs no copy of its operand.
#if defined(__x86_64__)

#include <cstring>

#include "measure/sm3_compress.h"

namespace sm3_internal {
namespace {

typedef uint32_t v4u __attribute__((vector_size(16)));
typedef uint8_t v16u8 __attribute__((vector_size(16)));

// Lane selection across two vectors, in g++'s and clang's spellings.
#if defined(__clang__)
#define SHUFFLE4(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#define BSWAP_LANES(a) __builtin_shufflevector(a, a, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12)
#else
#define SHUFFLE4(a, b, i, j, k, l) __builtin_shuffle(a, b, v4u{i, j, k, l})
#define BSWAP_LANES(a) __builtin_shuffle(a, v16u8{3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12})
#endif

template <int n>
[[gnu::always_inline]] inline v4u vrol(v4u x) {
  return (x << n) | (x >> (32 - n));
}

[[gnu::always_inline]] inline v4u vp1(v4u x) { return x ^ vrol<15>(x) ^ vrol<23>(x); }

// Four big-endian message words.
[[gnu::always_inline]] inline v4u load_be(const uint8_t* p) {
  v16u8 bytes;
  memcpy(&bytes, p, sizeof bytes);
  bytes = BSWAP_LANES(bytes);
  v4u words;
  memcpy(&words, &bytes, sizeof words);
  return words;
}

// W_n .. W_(n+3) from x0 = W_(n-16 .. n-13), x1, x2, x3 = W_(n-4 .. n-1).
[[gnu::always_inline]] inline v4u expand4(v4u x0, v4u x1, v4u x2, v4u x3) {
  const v4u zero = {0, 0, 0, 0};
  const v4u w9 = SHUFFLE4(x1, x2, 3, 4, 5, 6);    // W_(n-9 .. n-6)
  const v4u w3 = SHUFFLE4(x3, zero, 1, 2, 3, 4);  // W_(n-3 .. n-1), 0
  const v4u w13 = SHUFFLE4(x0, x1, 3, 4, 5, 6);   // W_(n-13 .. n-10)
  const v4u w6 = SHUFFLE4(x2, x3, 2, 3, 4, 5);    // W_(n-6 .. n-3)
  const v4u y = vp1(x0 ^ w9 ^ vrol<15>(w3)) ^ vrol<7>(w13) ^ w6;
  // Lane 3 needs W_n, which lane 0 has only just produced; it was computed
  // with 0 in its place. P1 is linear over xor, so the missing term
  // P1(W_n <<< 15) can be added afterwards.
  const v4u wn = SHUFFLE4(y, zero, 4, 4, 4, 0);
  return y ^ vp1(vrol<15>(wn));
}

template <int j>
[[gnu::always_inline]] inline void step(uint32_t a, uint32_t& b, uint32_t c, uint32_t& d, uint32_t e,
                                        uint32_t& f, uint32_t g, uint32_t& h, detail::Pieces& pe,
                                        const uint32_t* w, const uint32_t* w1) {
  detail::round<j>(a, b, c, d, e, f, g, h, pe, w[j], w1[j]);
}

[[gnu::always_inline]] inline void compress_vector(uint32_t state[8], const uint8_t* blocks, size_t count) {
  uint32_t A = state[0], B = state[1], C = state[2], D = state[3];
  uint32_t E = state[4], F = state[5], G = state[6], H = state[7];
  for (; count > 0; --count, blocks += 64) {
    alignas(16) uint32_t w[68];
    alignas(16) uint32_t w1[64];
    v4u x0 = load_be(blocks), x1 = load_be(blocks + 16), x2 = load_be(blocks + 32), x3 = load_be(blocks + 48);
    const v4u w1_0 = x0 ^ x1, w1_4 = x1 ^ x2, w1_8 = x2 ^ x3;
    memcpy(w + 0, &x0, 16);
    memcpy(w + 4, &x1, 16);
    memcpy(w + 8, &x2, 16);
    memcpy(w + 12, &x3, 16);
    memcpy(w1 + 0, &w1_0, 16);
    memcpy(w1 + 4, &w1_4, 16);
    memcpy(w1 + 8, &w1_8, 16);

    const uint32_t a0 = A, b0 = B, c0 = C, d0 = D, e0 = E, f0 = F, g0 = G, h0 = H;
    detail::Pieces pe{};  // first read at iteration 16

    // Group k yields W_(16+4k .. 19+4k) and W'_(12+4k .. 15+4k); the rounds
    // first read them at 12+4k, eight rounds after the group is issued. The
    // compiler barrier keeps the rounds reading the table from memory, which
    // costs nothing, instead of extracting lanes, which costs two
    // instructions each.
#define SM3_GROUP(k)                              \
  do {                                            \
    const v4u next = expand4(x0, x1, x2, x3);     \
    const v4u next1 = x3 ^ next;                  \
    memcpy(w + 16 + 4 * (k), &next, 16);          \
    memcpy(w1 + 12 + 4 * (k), &next1, 16);        \
    x0 = x1, x1 = x2, x2 = x3, x3 = next;         \
    asm volatile("" ::: "memory");                \
  } while (0)
#define SM3_STEP(j, a, b, c, d, e, f, g, h) step<(j)>(a, b, c, d, e, f, g, h, pe, w, w1)

    SM3_FOUR_ROUNDS(SM3_STEP, 0);
    SM3_GROUP(0);
    SM3_FOUR_ROUNDS(SM3_STEP, 4);
    SM3_GROUP(1);
    SM3_FOUR_ROUNDS(SM3_STEP, 8);
    SM3_GROUP(2);
    SM3_FOUR_ROUNDS(SM3_STEP, 12);
    SM3_GROUP(3);
    SM3_FOUR_ROUNDS(SM3_STEP, 16);
    SM3_GROUP(4);
    SM3_FOUR_ROUNDS(SM3_STEP, 20);
    SM3_GROUP(5);
    SM3_FOUR_ROUNDS(SM3_STEP, 24);
    SM3_GROUP(6);
    SM3_FOUR_ROUNDS(SM3_STEP, 28);
    SM3_GROUP(7);
    SM3_FOUR_ROUNDS(SM3_STEP, 32);
    SM3_GROUP(8);
    SM3_FOUR_ROUNDS(SM3_STEP, 36);
    SM3_GROUP(9);
    SM3_FOUR_ROUNDS(SM3_STEP, 40);
    SM3_GROUP(10);
    SM3_FOUR_ROUNDS(SM3_STEP, 44);
    SM3_GROUP(11);
    SM3_FOUR_ROUNDS(SM3_STEP, 48);
    SM3_GROUP(12);
    SM3_FOUR_ROUNDS(SM3_STEP, 52);
    SM3_FOUR_ROUNDS(SM3_STEP, 56);
    SM3_FOUR_ROUNDS(SM3_STEP, 60);
#undef SM3_STEP
#undef SM3_GROUP

    A ^= a0, B ^= b0, C ^= c0, D ^= d0, E ^= e0, F ^= f0, G ^= g0, H ^= h0;
  }
  state[0] = A, state[1] = B, state[2] = C, state[3] = D;
  state[4] = E, state[5] = F, state[6] = G, state[7] = H;
}

}  // namespace

__attribute__((target("ssse3"))) void compress_ssse3(uint32_t state[8], const uint8_t* blocks, size_t count) {
  compress_vector(state, blocks, count);
}

__attribute__((target("avx,bmi,bmi2"))) void compress_avx_bmi2(uint32_t state[8], const uint8_t* blocks,
                                                              size_t count) {
  compress_vector(state, blocks, count);
}

__attribute__((target("avx512f,avx512vl,bmi,bmi2"))) void compress_avx512(uint32_t state[8],
                                                                          const uint8_t* blocks, size_t count) {
  compress_vector(state, blocks, count);
}

}  // namespace sm3_internal

#endif  // __x86_64__
