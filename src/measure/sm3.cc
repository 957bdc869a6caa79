// SM3 streaming interface over the fastest compression this CPU supports.
//
// Whole blocks are compressed straight from the caller's buffer; only a
// partial head (completing a block left waiting by the previous call) and a
// partial tail are copied into the context. The context's observable state
// is the same as if bytes were absorbed one at a time: after every call
// `index` is 0..63 and `bit_count` counts the bits of every compressed block.
#include "measure/sm3.h"

#include <atomic>
#include <cstring>
#if defined(__aarch64__)
#include <sys/auxv.h>
#ifndef HWCAP_SM3
#define HWCAP_SM3 (1UL << 18)  // the kernel's bit, for C libraries that do not name it
#endif
#endif

#include "measure/sm3_compress.h"

namespace sm3_internal {
namespace {

struct Variants {
  CompressVariant list[5];
  size_t size;
};

// Ordered by expected speed, slowest first: the vector expansion pays where
// integer units are the bottleneck (four ALUs on most x86-64 cores), and
// AVX-512VL makes it nearly free (one instruction per rotation). On aarch64
// the SM3 instructions, which do an iteration's work in three instructions,
// are expected to beat the portable code (not yet measured on hardware); the
// kernel reports them in the hardware capabilities.
Variants probe_variants() {
  Variants v{};
  v.list[v.size++] = {"portable", compress_portable, true};
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool bmi2 = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  // "avx" also tells that the kernel saves the vector registers' upper
  // state, which the VEX and EVEX encodings need.
  const bool avx = __builtin_cpu_supports("avx");
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  v.list[v.size++] = {"ssse3", compress_ssse3, __builtin_cpu_supports("ssse3") != 0};
  v.list[v.size++] = {"bmi2", compress_bmi2, bmi2};
  v.list[v.size++] = {"avx-bmi2", compress_avx_bmi2, avx && bmi2};
  v.list[v.size++] = {"avx512", compress_avx512, avx512 && bmi2};
#endif
#if defined(SM3_HAVE_ARM64_SM3)
  v.list[v.size++] = {"arm64-sm3", compress_arm64_sm3, (getauxval(AT_HWCAP) & HWCAP_SM3) != 0};
#endif
  return v;
}

const Variants& variants() {
  static const Variants probed = probe_variants();
  return probed;
}

CompressFn fastest() {
  // The last supported one in the list.
  CompressFn best = compress_portable;
  for (const CompressVariant& v : sm3_compress_variants())
    if (v.supported) best = v.fn;
  return best;
}

void compress_first_call(uint32_t state[8], const uint8_t* blocks, size_t count);

// Starts at a resolver that installs the fastest variant on first use, so no
// CPU probing runs at program start.
std::atomic<CompressFn> active{compress_first_call};

void compress_first_call(uint32_t state[8], const uint8_t* blocks, size_t count) {
  CompressFn fn = fastest();
  CompressFn expected = compress_first_call;
  active.compare_exchange_strong(expected, fn, std::memory_order_relaxed);
  fn(state, blocks, count);
}

}  // namespace

std::span<const CompressVariant> sm3_compress_variants() {
  const Variants& v = variants();
  return {v.list, v.size};
}

void force_compress(CompressFn fn) { active.store(fn ? fn : fastest(), std::memory_order_relaxed); }

CompressFn active_compress() {
  const CompressFn fn = active.load(std::memory_order_relaxed);
  return fn == compress_first_call ? fastest() : fn;
}

}  // namespace sm3_internal

namespace {

constexpr uint32_t kIv[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                             0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

void compress(SM3_context* ctx, const uint8_t* blocks, size_t count) {
  sm3_internal::active.load(std::memory_order_relaxed)(ctx->state, blocks, count);
}

}  // namespace

void SM3_init(SM3_context* ctx) {
  memcpy(ctx->state, kIv, sizeof kIv);
  ctx->bit_count = 0;
  ctx->index = 0;
}

void SM3_process(SM3_context* ctx, const uint8_t* data, int32_t len) {
  if (len <= 0) return;
  size_t remaining = static_cast<size_t>(len);

  if (ctx->index != 0) {
    const size_t room = 64 - ctx->index;
    const size_t take = remaining < room ? remaining : room;
    memcpy(ctx->block + ctx->index, data, take);
    ctx->index += static_cast<uint32_t>(take);
    data += take;
    remaining -= take;
    if (ctx->index < 64) return;
    compress(ctx, ctx->block, 1);
    ctx->bit_count += 512;
    ctx->index = 0;
  }

  const size_t whole = remaining / 64;
  if (whole != 0) {
    compress(ctx, data, whole);
    ctx->bit_count += 512 * static_cast<uint64_t>(whole);
    data += 64 * whole;
    remaining -= 64 * whole;
  }

  if (remaining != 0) {
    memcpy(ctx->block, data, remaining);
    ctx->index = static_cast<uint32_t>(remaining);
  }
}

void SM3_done(SM3_context* ctx, uint8_t* out) {
  ctx->bit_count += 8 * static_cast<uint64_t>(ctx->index);
  uint32_t index = ctx->index;
  ctx->block[index++] = 0x80;
  if (index > 56) {
    memset(ctx->block + index, 0, 64 - index);
    compress(ctx, ctx->block, 1);
    index = 0;
  }
  memset(ctx->block + index, 0, 56 - index);
  store_be32(ctx->block + 56, static_cast<uint32_t>(ctx->bit_count >> 32));
  store_be32(ctx->block + 60, static_cast<uint32_t>(ctx->bit_count));
  compress(ctx, ctx->block, 1);
  ctx->index = 56;
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, ctx->state[i]);
}

void SM3_256(const uint8_t* data, int32_t len, uint8_t* out) {
  SM3_context ctx;
  SM3_init(&ctx);
  SM3_process(&ctx, data, len);
  SM3_done(&ctx, out);
}

int SM3_SelfTest() {
  static constexpr uint8_t kAbcDigest[32] = {
      0x66, 0xc7, 0xf0, 0xf4, 0x62, 0xee, 0xed, 0xd9, 0xd1, 0xf2, 0xd4, 0x6b, 0xdc, 0x10, 0xe4, 0xe2,
      0x41, 0x67, 0xc4, 0x87, 0x5c, 0xf2, 0xf7, 0xa2, 0x29, 0x7d, 0xa0, 0x2b, 0x8f, 0x4b, 0xa8, 0xe0};
  static constexpr uint8_t kAbcd16Digest[32] = {
      0xde, 0xbe, 0x9f, 0xf9, 0x22, 0x75, 0xb8, 0xa1, 0x38, 0x60, 0x48, 0x89, 0xc1, 0x8e, 0x5a, 0x4d,
      0x6f, 0xdb, 0x70, 0xe5, 0x38, 0x7e, 0x57, 0x65, 0x29, 0x3d, 0xcb, 0xa3, 0x9c, 0x0c, 0x57, 0x32};

  const uint8_t abc[3] = {'a', 'b', 'c'};
  uint8_t abcd16[64];
  for (int i = 0; i < 64; ++i) abcd16[i] = static_cast<uint8_t>("abcd"[i % 4]);

  uint8_t first[32] = {};
  uint8_t second[32] = {};
  SM3_256(abc, sizeof abc, first);
  SM3_256(abcd16, sizeof abcd16, second);
  // Both are always computed and compared, so one failing example never
  // hides the other's run.
  const bool first_ok = memcmp(first, kAbcDigest, 32) == 0;
  const bool second_ok = memcmp(second, kAbcd16Digest, 32) == 0;
  return first_ok && second_ok ? 0 : 1;
}
