// SM3 against OpenSSL's SM3 as the oracle: every length, every division of a
// message among calls, the context's observable state, the 64-bit length
// field, and every compression variant this CPU can run.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "measure/sm3.h"
#include "measure/sm3_compress.h"

namespace {

using Digest = std::vector<uint8_t>;

Digest oracle(const uint8_t* data, size_t len) {
  Digest out(32);
  unsigned int out_len = 0;
  EXPECT_EQ(EVP_Digest(data, len, out.data(), &out_len, EVP_sm3(), nullptr), 1);
  EXPECT_EQ(out_len, 32u);
  return out;
}

Digest oracle(const std::vector<uint8_t>& data) { return oracle(data.data(), data.size()); }

Digest one_shot(const std::vector<uint8_t>& data) {
  Digest out(32);
  SM3_256(data.data(), static_cast<int32_t>(data.size()), out.data());
  return out;
}

// Feeds `data` through SM3_process in pieces of the given sizes, cycling
// through them, and checks the context between calls.
Digest in_pieces(const std::vector<uint8_t>& data, const std::vector<size_t>& sizes) {
  SM3_context ctx;
  SM3_init(&ctx);
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = std::min(sizes[i % sizes.size()], data.size() - at);
    SM3_process(&ctx, data.data() + at, static_cast<int32_t>(n));
    at += n;
    EXPECT_EQ(ctx.index, at % 64) << "after " << at << " bytes";
    EXPECT_EQ(ctx.bit_count, (at / 64) * 512) << "after " << at << " bytes";
  }
  Digest out(32);
  SM3_done(&ctx, out.data());
  return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

Digest from_hex(const char* hex) {
  Digest out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

// Runs the whole process with one compression variant forced.
class ForcedVariant {
 public:
  explicit ForcedVariant(sm3_internal::CompressFn fn) { sm3_internal::force_compress(fn); }
  ~ForcedVariant() { sm3_internal::force_compress(nullptr); }
};

std::vector<std::string> supported_variant_names() {
  std::vector<std::string> names;
  for (const auto& v : sm3_internal::sm3_compress_variants())
    if (v.supported) names.push_back(v.name);
  return names;
}

sm3_internal::CompressFn variant_named(const std::string& name) {
  for (const auto& v : sm3_internal::sm3_compress_variants())
    if (name == v.name) return v.fn;
  return nullptr;
}

TEST(Sm3KnownAnswer, StandardExamplesAndSelfTest) {
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  EXPECT_EQ(one_shot(abc), from_hex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"));
  std::vector<uint8_t> abcd16;
  for (int i = 0; i < 16; ++i) abcd16.insert(abcd16.end(), {'a', 'b', 'c', 'd'});
  EXPECT_EQ(one_shot(abcd16), from_hex("debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"));
  EXPECT_EQ(one_shot({}), from_hex("1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b"));
  EXPECT_EQ(SM3_SelfTest(), 0);
}

// The whole interface once per compression variant, so every code path the
// machine can execute meets the oracle.
class Sm3Oracle : public ::testing::TestWithParam<std::string> {
 protected:
  ForcedVariant forced_{variant_named(GetParam())};
};

TEST_P(Sm3Oracle, EveryLengthInOneCall) {
  const std::vector<uint8_t> data = random_bytes(1100, 1);
  for (size_t len = 0; len <= data.size(); ++len) {
    const std::vector<uint8_t> message(data.begin(), data.begin() + static_cast<ptrdiff_t>(len));
    ASSERT_EQ(one_shot(message), oracle(message)) << "length " << len;
  }
}

TEST_P(Sm3Oracle, AnyDivisionAmongCallsGivesTheSameDigest) {
  const std::vector<uint8_t> data = random_bytes(1000, 2);
  const Digest expected = oracle(data);
  for (const std::vector<size_t>& sizes :
       std::vector<std::vector<size_t>>{{1}, {63}, {64}, {65}, {1, 63, 64}, {7, 130, 3}, {200, 1, 55}}) {
    EXPECT_EQ(in_pieces(data, sizes), expected) << "first piece " << sizes[0];
  }
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    const size_t len = rng() % 700;
    const std::vector<uint8_t> message(data.begin(), data.begin() + static_cast<ptrdiff_t>(len));
    std::vector<size_t> sizes;
    for (int i = 0; i < 8; ++i) sizes.push_back(1 + rng() % 150);
    ASSERT_EQ(in_pieces(message, sizes), oracle(message)) << "length " << len << " round " << round;
  }
}

TEST_P(Sm3Oracle, PaddingBoundaries) {
  // 55 bytes leave room for 0x80 and the length in the last block; 56 to 63
  // need one more block; 64 compresses inside the call.
  for (size_t len : {55, 56, 57, 63, 64, 65, 119, 120, 127, 128}) {
    const std::vector<uint8_t> message = random_bytes(len, static_cast<uint32_t>(len));
    EXPECT_EQ(one_shot(message), oracle(message)) << "length " << len;
    EXPECT_EQ(in_pieces(message, {len - 1, 1}), oracle(message)) << "length " << len;
  }
}

INSTANTIATE_TEST_SUITE_P(Sm3, Sm3Oracle, ::testing::ValuesIn(supported_variant_names()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(Sm3Context, StateBetweenCallsAndAfterDone) {
  const std::vector<uint8_t> data = random_bytes(200, 4);
  SM3_context ctx;
  SM3_init(&ctx);
  EXPECT_EQ(ctx.index, 0u);
  EXPECT_EQ(ctx.bit_count, 0u);

  SM3_process(&ctx, data.data(), 64);  // a full block is compressed at once
  EXPECT_EQ(ctx.index, 0u);
  EXPECT_EQ(ctx.bit_count, 512u);

  SM3_context before = ctx;
  SM3_process(&ctx, data.data(), 0);  // nothing at all
  EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0);

  SM3_process(&ctx, data.data() + 64, 70);  // 134 bytes: two blocks, 6 waiting
  EXPECT_EQ(ctx.index, 6u);
  EXPECT_EQ(ctx.bit_count, 1024u);
  EXPECT_EQ(memcmp(ctx.block, data.data() + 128, 6), 0);

  SM3_process(&ctx, data.data() + 134, 58);  // completes the waiting block exactly
  EXPECT_EQ(ctx.index, 0u);
  EXPECT_EQ(ctx.bit_count, 1536u);

  SM3_process(&ctx, data.data() + 192, 8);
  uint8_t out[32];
  SM3_done(&ctx, out);
  EXPECT_EQ(ctx.index, 56u);
  EXPECT_EQ(ctx.bit_count, 200u * 8);
  EXPECT_EQ(Digest(out, out + 32), oracle(data));
  // The final chaining value stays in the context as numbers.
  for (int i = 0; i < 8; ++i) {
    const uint32_t word = uint32_t{out[4 * i]} << 24 | uint32_t{out[4 * i + 1]} << 16 |
                          uint32_t{out[4 * i + 2]} << 8 | out[4 * i + 3];
    EXPECT_EQ(ctx.state[i], word) << "word " << i;
  }
}

TEST(Sm3Context, DoneLeavesIndex56ForEveryTailLength) {
  const std::vector<uint8_t> data = random_bytes(128, 5);
  for (size_t len = 0; len <= data.size(); ++len) {
    SM3_context ctx;
    SM3_init(&ctx);
    SM3_process(&ctx, data.data(), static_cast<int32_t>(len));
    uint8_t out[32];
    SM3_done(&ctx, out);
    EXPECT_EQ(ctx.index, 56u) << "length " << len;
    EXPECT_EQ(ctx.bit_count, len * 8) << "length " << len;
  }
}

// A message of 2^29 + 37 bytes: its length in bits needs the upper half of
// the 64-bit length field. Streamed through both implementations in pieces of
// a repeating pattern, never held whole.
TEST(Sm3LongMessage, LengthFieldUsesItsUpperWord) {
  constexpr uint64_t kLength = (uint64_t{1} << 29) + 37;
  const std::vector<uint8_t> pattern = random_bytes((1 << 20) + 13, 7);
  SM3_context ctx;
  SM3_init(&ctx);
  EVP_MD_CTX* reference = EVP_MD_CTX_new();
  ASSERT_NE(reference, nullptr);
  ASSERT_EQ(EVP_DigestInit_ex(reference, EVP_sm3(), nullptr), 1);
  uint64_t fed = 0;
  for (size_t offset = 0; fed < kLength; offset = (offset + 4099) % 1000) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(pattern.size() - offset, kLength - fed));
    SM3_process(&ctx, pattern.data() + offset, static_cast<int32_t>(n));
    EVP_DigestUpdate(reference, pattern.data() + offset, n);
    fed += n;
  }
  uint8_t out[32];
  SM3_done(&ctx, out);
  uint8_t expected[32];
  unsigned int expected_len = 0;
  EVP_DigestFinal_ex(reference, expected, &expected_len);
  EVP_MD_CTX_free(reference);
  EXPECT_EQ(ctx.bit_count, kLength * 8);
  EXPECT_GT(ctx.bit_count >> 32, 0u);
  EXPECT_EQ(Digest(out, out + 32), Digest(expected, expected + 32));
}

// The variant used by default, where the run names the one this CPU must
// get: scripts/test-arm64 does, on emulated CPUs with and without the SM3
// instructions, so that a probe that never finds them cannot pass unseen.
TEST(Sm3Variants, DefaultIsTheOneThisCpuMustGet) {
  const char* expected = getenv("ZOVEMO_EXPECTED_SM3_VARIANT");
  if (expected == nullptr) GTEST_SKIP() << "ZOVEMO_EXPECTED_SM3_VARIANT is not set: nothing names this CPU's variant";
  std::string chosen = "none";
  for (const auto& v : sm3_internal::sm3_compress_variants())
    if (v.fn == sm3_internal::active_compress()) chosen = v.name;
  EXPECT_EQ(chosen, expected);
}

TEST(Sm3Variants, EverySupportedVariantMatchesThePortableOne) {
  std::mt19937 rng(8);
  const std::vector<uint8_t> data = random_bytes(64 * 9 + 16, 9);
  for (const auto& v : sm3_internal::sm3_compress_variants()) {
    if (!v.supported) continue;
    for (int round = 0; round < 300; ++round) {
      uint32_t reference[8];
      for (auto& word : reference) word = static_cast<uint32_t>(rng());
      uint32_t state[8];
      memcpy(state, reference, sizeof state);
      const size_t blocks = 1 + rng() % 9;
      const size_t offset = rng() % 16;  // any alignment of the input
      sm3_internal::compress_portable(reference, data.data() + offset, blocks);
      v.fn(state, data.data() + offset, blocks);
      ASSERT_EQ(memcmp(state, reference, sizeof state), 0) << v.name << " round " << round;
    }
  }
}

}  // namespace
