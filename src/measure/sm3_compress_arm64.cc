// SM3 compression with the Armv8.2 SM3 instructions (aarch64, FEAT_SM3),
// chosen only where the kernel reports them (HWCAP_SM3).
//
// The round instructions keep the working words in two vectors, A B C D and
// E F G H, each with its first word in the top lane (bits 127:96) and the
// last in lane 0. What they compute, from the Operation pseudocode of the
// Arm Architecture Reference Manual (lane k is bits 32k+31 to 32k; ROL
// rotates a 32-bit word left):
//
//   SM3SS1 d, n, m, a      lane 3 = ROL(ROL(n_3, 12) + m_3 + a_3, 7), the other
//                          lanes zero: SS1 from A, E and T_j <<< (j mod 32).
//   SM3TT1A/B d, n, m[i]   with d = A B C D, n_3 = SS1, m_i = W'_j:
//                          TT1 = FF(A, B, C) + D + (SS1 ^ ROL(A, 12)) + W'_j,
//                          FF the three-way xor (A) or the majority (B);
//                          d becomes, top lane first, TT1, A, ROL(B, 9), C.
//   SM3TT2A/B d, n, m[i]   with d = E F G H, n_3 = SS1, m_i = W_j:
//                          TT2 = GG(E, F, G) + H + SS1 + W_j, GG the three-way
//                          xor (A) or the choice (E & F) | (~E & G) (B);
//                          d becomes, top lane first, P0(TT2), E, ROL(F, 19), G.
//   SM3PARTW1 d, n, m      lane k < 3: P1(d_k ^ n_k ^ ROL(m_(k+1), 15)); lane 3
//                          the same with ROL(result lane 0, 15) in place of
//                          the missing m_4: the first part of four new words.
//   SM3PARTW2 d, n, m      t = n ^ ROL(m, 7) lane by lane; d ^ t, and lane 3
//                          also ^ P1(ROL(t_0, 15)): the rest of the four words,
//                          with what lane 3 missed of the first new word (P1
//                          is linear over xor, so that term can come last).
//
// So one iteration is three dependent instructions (SS1, then TT1 and TT2
// side by side) and four message words cost five vector instructions.
// Message words sit in memory order, W_k of a group of four in lane k, so the
// round instructions pick W_j and W'_j by lane index j mod 4.
#if defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

#include <arm_neon.h>

#include <utility>

#include "measure/sm3_compress.h"

// g++ declares the SM3 intrinsics for this architecture level with the
// extension that brings SM3 and SM4 together ("+sm4" alone is refused); only
// these functions are compiled for it.
#define SM3_TARGET __attribute__((target("arch=armv8.2-a+sm4")))

namespace sm3_internal {
namespace {

using detail::round_constant;

// Four big-endian message words, W_k in lane k.
[[gnu::always_inline]] inline SM3_TARGET uint32x4_t load_be(const uint8_t* p) {
  return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

// The next four message words from the sixteen before them, w[0] = the
// oldest four.
[[gnu::always_inline]] inline SM3_TARGET uint32x4_t expand4(uint32x4_t w0, uint32x4_t w1, uint32x4_t w2,
                                                            uint32x4_t w3) {
  const uint32x4_t w9 = vextq_u32(w1, w2, 3);   // W_(n-9 .. n-6)
  const uint32x4_t w13 = vextq_u32(w0, w1, 3);  // W_(n-13 .. n-10)
  const uint32x4_t w6 = vextq_u32(w2, w3, 2);   // W_(n-6 .. n-3)
  return vsm3partw2q_u32(vsm3partw1q_u32(w0, w9, w3), w6, w13);
}

// Iteration j; `w` holds W_j in lane j mod 4 and `w1` holds W'_j there.
template <int j>
[[gnu::always_inline]] inline SM3_TARGET void iteration(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t w,
                                                       uint32x4_t w1) {
  const uint32x4_t ss1 = vsm3ss1q_u32(abcd, efgh, vdupq_n_u32(round_constant(j)));
  if constexpr (j < 16) {
    abcd = vsm3tt1aq_u32(abcd, ss1, w1, j % 4);
    efgh = vsm3tt2aq_u32(efgh, ss1, w, j % 4);
  } else {
    abcd = vsm3tt1bq_u32(abcd, ss1, w1, j % 4);
    efgh = vsm3tt2bq_u32(efgh, ss1, w, j % 4);
  }
}

// Iterations 4g .. 4g+3 over W_(4g ..) in `w` and W_(4g+4 ..) in `next`.
template <int g>
[[gnu::always_inline]] inline SM3_TARGET void four_iterations(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t w,
                                                             uint32x4_t next) {
  const uint32x4_t w1 = veorq_u32(w, next);
  iteration<4 * g + 0>(abcd, efgh, w, w1);
  iteration<4 * g + 1>(abcd, efgh, w, w1);
  iteration<4 * g + 2>(abcd, efgh, w, w1);
  iteration<4 * g + 3>(abcd, efgh, w, w1);
}

// Words A..D (or E..H) from their order in memory into the instructions'
// order, first word in the top lane, and back (the swap is its own inverse).
[[gnu::always_inline]] inline SM3_TARGET uint32x4_t reverse_lanes(uint32x4_t x) {
  const uint32x4_t pairs_swapped = vrev64q_u32(x);  // B A D C
  return vextq_u32(pairs_swapped, pairs_swapped, 2);  // D C B A
}

// Group g of one block: m[0..16] are the 68 message words, four to a
// vector; m[g+4] is expanded while group g runs, three groups before its
// first use.
template <int g>
[[gnu::always_inline]] inline SM3_TARGET void group(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t* m) {
  if constexpr (g + 4 <= 16) m[g + 4] = expand4(m[g], m[g + 1], m[g + 2], m[g + 3]);
  four_iterations<g>(abcd, efgh, m[g], m[g + 1]);
}

template <int... g>
[[gnu::always_inline]] inline SM3_TARGET void all_groups(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t* m,
                                                        std::integer_sequence<int, g...>) {
  (group<g>(abcd, efgh, m), ...);
}

}  // namespace

SM3_TARGET void compress_arm64_sm3(uint32_t state[8], const uint8_t* blocks, size_t count) {
  uint32x4_t abcd = reverse_lanes(vld1q_u32(state));
  uint32x4_t efgh = reverse_lanes(vld1q_u32(state + 4));
  for (; count > 0; --count, blocks += 64) {
    const uint32x4_t abcd0 = abcd, efgh0 = efgh;
    uint32x4_t m[17] = {load_be(blocks), load_be(blocks + 16), load_be(blocks + 32), load_be(blocks + 48)};
    all_groups(abcd, efgh, m, std::make_integer_sequence<int, 16>{});
    abcd = veorq_u32(abcd, abcd0);
    efgh = veorq_u32(efgh, efgh0);
  }
  vst1q_u32(state, reverse_lanes(abcd));
  vst1q_u32(state + 4, reverse_lanes(efgh));
}

}  // namespace sm3_internal

#endif  // aarch64, little-endian
