// Scalar SM3 compression: the portable variant and, on x86-64, the same code
// compiled with BMI2, whose rorx rotates into another register, saving the
// copy that a two-operand rotation needs.
//
// The message expansion is computed on the fly in a 16-word ring: round j
// needs W_j and W_(j+4), so W_(j+4) is produced just before round j.
#include <bit>
#include <cstring>

#include "measure/sm3_compress.h"

namespace sm3_internal {
namespace {

using detail::p1;
using detail::rol;
using detail::round;

[[gnu::always_inline]] inline uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

// Computes W_n over W_(n-16) in the ring.
template <int n>
[[gnu::always_inline]] inline void expand(uint32_t* w) {
  w[n & 15] = p1(w[(n - 16) & 15] ^ w[(n - 9) & 15] ^ rol(w[(n - 3) & 15], 15)) ^ rol(w[(n - 13) & 15], 7) ^
              w[(n - 6) & 15];
}

template <int j>
[[gnu::always_inline]] inline void step(uint32_t a, uint32_t& b, uint32_t c, uint32_t& d, uint32_t e,
                                        uint32_t& f, uint32_t g, uint32_t& h, detail::Pieces& pe, uint32_t* w) {
  if constexpr (j >= 12) expand<j + 4>(w);
  round<j>(a, b, c, d, e, f, g, h, pe, w[j & 15], w[j & 15] ^ w[(j + 4) & 15]);
}

[[gnu::always_inline]] inline void compress_scalar(uint32_t state[8], const uint8_t* blocks, size_t count) {
  uint32_t A = state[0], B = state[1], C = state[2], D = state[3];
  uint32_t E = state[4], F = state[5], G = state[6], H = state[7];
  for (; count > 0; --count, blocks += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
    const uint32_t a0 = A, b0 = B, c0 = C, d0 = D, e0 = E, f0 = F, g0 = G, h0 = H;
    detail::Pieces pe{};  // first read at iteration 16
#define SM3_STEP(j, a, b, c, d, e, f, g, h) step<(j)>(a, b, c, d, e, f, g, h, pe, w)
    SM3_FOUR_ROUNDS(SM3_STEP, 0);
    SM3_FOUR_ROUNDS(SM3_STEP, 4);
    SM3_FOUR_ROUNDS(SM3_STEP, 8);
    SM3_FOUR_ROUNDS(SM3_STEP, 12);
    SM3_FOUR_ROUNDS(SM3_STEP, 16);
    SM3_FOUR_ROUNDS(SM3_STEP, 20);
    SM3_FOUR_ROUNDS(SM3_STEP, 24);
    SM3_FOUR_ROUNDS(SM3_STEP, 28);
    SM3_FOUR_ROUNDS(SM3_STEP, 32);
    SM3_FOUR_ROUNDS(SM3_STEP, 36);
    SM3_FOUR_ROUNDS(SM3_STEP, 40);
    SM3_FOUR_ROUNDS(SM3_STEP, 44);
    SM3_FOUR_ROUNDS(SM3_STEP, 48);
    SM3_FOUR_ROUNDS(SM3_STEP, 52);
    SM3_FOUR_ROUNDS(SM3_STEP, 56);
    SM3_FOUR_ROUNDS(SM3_STEP, 60);
#undef SM3_STEP
    // Sixteen groups of four rounds bring every variable back to its role.
    A ^= a0, B ^= b0, C ^= c0, D ^= d0, E ^= e0, F ^= f0, G ^= g0, H ^= h0;
  }
  state[0] = A, state[1] = B, state[2] = C, state[3] = D;
  state[4] = E, state[5] = F, state[6] = G, state[7] = H;
}

}  // namespace

void compress_portable(uint32_t state[8], const uint8_t* blocks, size_t count) {
  compress_scalar(state, blocks, count);
}

#if defined(__x86_64__)
__attribute__((target("bmi,bmi2"))) void compress_bmi2(uint32_t state[8], const uint8_t* blocks, size_t count) {
  compress_scalar(state, blocks, count);
}
#endif

}  // namespace sm3_internal
