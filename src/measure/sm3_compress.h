// SM3 compression function in its CPU-specific forms, internal to the SM3
// module (and its tests and benchmarks).
//
// Every variant compresses `count` whole 64-byte blocks, read straight from
// `blocks` (any alignment), into `state`; all give identical results. The
// portable one runs on any machine; the others are compiled for newer
// instruction sets with per-function targets and may only be called when
// the CPU reports those features, which is what `supported` says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sm3_internal {

using CompressFn = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);

struct CompressVariant {
  const char* name;
  CompressFn fn;
  bool supported;  // this CPU can execute it
};

// Every variant built into the binary, the portable one first.
std::span<const CompressVariant> sm3_compress_variants();

// Makes SM3_process and SM3_done use `fn` (a supported variant) in the whole
// process; nullptr goes back to the fastest supported one. Only for tests and
// benchmarks.
void force_compress(CompressFn fn);

// The variant SM3_process and SM3_done use now; before any forcing, the
// fastest supported one. For tests and benchmarks.
CompressFn active_compress();

// The variants themselves.
void compress_portable(uint32_t state[8], const uint8_t* blocks, size_t count);
#if defined(__x86_64__)
void compress_bmi2(uint32_t state[8], const uint8_t* blocks, size_t count);
void compress_ssse3(uint32_t state[8], const uint8_t* blocks, size_t count);
void compress_avx_bmi2(uint32_t state[8], const uint8_t* blocks, size_t count);
void compress_avx512(uint32_t state[8], const uint8_t* blocks, size_t count);
#endif
#if defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define SM3_HAVE_ARM64_SM3 1
void compress_arm64_sm3(uint32_t state[8], const uint8_t* blocks, size_t count);
#endif

}  // namespace sm3_internal

// The round formulas shared by every variant. They are plain inline code
// without a target of their own, so each variant compiles them for its own
// instruction set.
namespace sm3_internal::detail {

constexpr uint32_t rol(uint32_t x, unsigned n) { return (x << n) | (x >> ((32 - n) & 31)); }

// T_j <<< (j mod 32), folded into each unrolled round as an immediate.
constexpr uint32_t round_constant(int j) { return rol(j < 16 ? 0x79cc4519u : 0x7a879d8au, j % 32); }

constexpr uint32_t p1(uint32_t x) { return x ^ rol(x, 15) ^ rol(x, 23); }

// Hides a value's origin from the optimiser, so that it keeps the grouping
// written below instead of regrouping it into fewer but slower steps.
[[gnu::always_inline]] inline uint32_t opaque(uint32_t x) {
  asm("" : "+r"(x));
  return x;
}

// E as it leaves P0, in two pieces whose xor is E: `y` = x ^ (x <<< 9) and
// `r` = x <<< 17. The choice function of the next iteration is computed from
// the pieces, one step sooner than from E itself; the E chain (E, SS1, TT2,
// P0) is what bounds the speed of the whole compression.
struct Pieces {
  uint32_t y;
  uint32_t r;
};

// One iteration j of the compression. Instead of moving eight words along,
// the caller rotates the roles of its variables: the new A lands in `d`, the
// new E in `h` (and its pieces in `pe`), and `b`, `f` are rotated in place to
// become the new C and G. `w` is W_j, `w1` is W'_j = W_j ^ W_(j+4).
template <int j>
[[gnu::always_inline]] inline void round(uint32_t a, uint32_t& b, uint32_t c, uint32_t& d, uint32_t e,
                                         uint32_t& f, uint32_t g, uint32_t& h, Pieces& pe, uint32_t w,
                                         uint32_t w1) {
  const uint32_t a12 = rol(a, 12);
  // A is ready well before E; adding the constant to it first leaves one
  // addition for E.
  const uint32_t ss1 = rol(e + opaque(a12 + round_constant(j)), 7);
  const uint32_t ss2 = ss1 ^ a12;
  uint32_t ff;
  uint32_t gg;
  if constexpr (j < 16) {
    ff = a ^ b ^ c;
    gg = e ^ (f ^ g);
  } else {
    // Majority with disjoint terms, so "+" may stand for "|" and the terms
    // merge into the additions that follow. Both terms with b and c only
    // come from earlier iterations, so A itself is one "and" away from the
    // sum.
    ff = (b & c) + (a & (b ^ c));
    // Choice as g ^ (e & (f ^ g)), distributed over the pieces of e.
    const uint32_t m = f ^ g;
    gg = opaque(g ^ (pe.r & m)) ^ (pe.y & m);
  }
  d = ff + d + ss2 + w1;
  const uint32_t tt2 = (gg + (h + w)) + ss1;
  pe.y = tt2 ^ rol(tt2, 9);
  pe.r = rol(tt2, 17);
  h = pe.y ^ pe.r;
  b = rol(b, 9);
  f = rol(f, 19);
}

}  // namespace sm3_internal::detail

// Four iterations starting at j, rotating the variables A..H through their
// roles; STEP(j, a, b, c, d, e, f, g, h) must run iteration j.
#define SM3_FOUR_ROUNDS(STEP, j)            \
  STEP((j) + 0, A, B, C, D, E, F, G, H);    \
  STEP((j) + 1, D, A, B, C, H, E, F, G);    \
  STEP((j) + 2, C, D, A, B, G, H, E, F);    \
  STEP((j) + 3, B, C, D, A, F, G, H, E)
