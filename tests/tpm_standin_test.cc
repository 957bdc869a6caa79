// The TPM stand-in library against a software TPM (swtpm).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tpm/standin/standin_internal.h"
#include "harness/swtpm.h"
#include "tpm/standin/tpm_standin.h"

namespace {

using tpmtest::nv_bytes;
using tpmtest::Swtpm;
using tpmtest::tpm2_tool;

constexpr uint32_t kIndex = 0x1500200;

TpmOwnerAuth owner() {
  TpmOwnerAuth record;
  memset(&record, 0, sizeof record);
  record.auth_handle = kTpmOwnerHierarchy;
  record.session_handle = kTpmPasswordSession;
  return record;
}

TpmSizedBuffer sized(const std::string& bytes) {
  TpmSizedBuffer buffer{};
  buffer.size = static_cast<uint16_t>(bytes.size());
  memcpy(buffer.buffer, bytes.data(), bytes.size());
  return buffer;
}

std::string bytes_of(const TpmSizedBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.buffer), buffer.size);
}

// A created and connected context, closed with its scope.
class Context {
 public:
  Context() {
    EXPECT_EQ(Tspi_Context_Create(&handle_), 0u);
    connect_result_ = Tspi_Context_Connect(handle_, nullptr);
  }
  ~Context() { Tspi_Context_Close(handle_); }
  TpmContextHandle handle() const { return handle_; }
  TpmResult connect_result() const { return connect_result_; }

 private:
  TpmContextHandle handle_ = 0;
  TpmResult connect_result_ = 0;
};

class TpmStandin : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tpm_.ok()) << tpm_.error(); }
  Swtpm tpm_;
  TpmOwnerAuth owner_ = owner();
};

TEST_F(TpmStandin, DefineWriteReadRoundTrip) {
  Context context;
  ASSERT_EQ(context.connect_result(), 0u);
  TpmSizedBuffer no_auth{};
  EXPECT_NE(Tss2_NV_UndefineSpace(context.handle(), &owner_, kIndex), 0u);  // not there yet
  ASSERT_EQ(Tss2_NV_DefineSpace(context.handle(), &owner_, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 300), 0u);

  // swtpm lacks SM3-256, so the name algorithm fell back to SHA-256; the
  // attributes are the word's own bits plus owner read.
  auto pub = tpm2_tool("tpm2_nvreadpublic", {"0x1500200"});
  ASSERT_EQ(pub.status, 0) << pub.err;
  EXPECT_NE(pub.out.find("value: 0xB\n"), std::string::npos) << pub.out;
  EXPECT_NE(pub.out.find("value: 0x2400A"), std::string::npos) << pub.out;
  EXPECT_NE(pub.out.find("size: 300"), std::string::npos) << pub.out;

  std::string image;
  for (int i = 0; i < 300; ++i) image += static_cast<char>(i % 5 == 0 ? 0 : i);
  TpmSizedBuffer data = sized(image);
  ASSERT_EQ(Tss2_NV_Write(context.handle(), &owner_, kIndex, 0, &data), 0u);
  TpmSizedBuffer read{};
  ASSERT_EQ(Tss2_NV_Read(context.handle(), &owner_, kIndex, 300, 0, &read), 0u);
  EXPECT_EQ(bytes_of(read), image);
  EXPECT_EQ(nv_bytes(kIndex, 300), image);

  // Offsets reach the right bytes, in both directions.
  TpmSizedBuffer patch = sized("PATCH");
  ASSERT_EQ(Tss2_NV_Write(context.handle(), &owner_, kIndex, 200, &patch), 0u);
  image.replace(200, 5, "PATCH");
  ASSERT_EQ(Tss2_NV_Read(context.handle(), &owner_, kIndex, 10, 198, &read), 0u);
  EXPECT_EQ(bytes_of(read), image.substr(198, 10));

  ASSERT_EQ(Tss2_NV_UndefineSpace(context.handle(), &owner_, kIndex), 0u);
  EXPECT_NE(Tss2_NV_Read(context.handle(), &owner_, kIndex, 10, 0, &read), 0u);
  EXPECT_EQ(read.size, 0);
}

TEST_F(TpmStandin, OneConnectionServesSeveralContexts) {
  Context outer;
  ASSERT_EQ(outer.connect_result(), 0u);
  TpmSizedBuffer no_auth{};
  ASSERT_EQ(Tss2_NV_DefineSpace(outer.handle(), &owner_, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 8), 0u);
  for (int round = 0; round < 3; ++round) {
    Context inner;
    ASSERT_EQ(inner.connect_result(), 0u);
    TpmSizedBuffer data = sized(std::string(8, static_cast<char>('a' + round)));
    ASSERT_EQ(Tss2_NV_Write(inner.handle(), &owner_, kIndex, 0, &data), 0u);
  }
  // Closing the inner contexts left the outer one's connection open.
  TpmSizedBuffer read{};
  ASSERT_EQ(Tss2_NV_Read(outer.handle(), &owner_, kIndex, 8, 0, &read), 0u);
  EXPECT_EQ(bytes_of(read), "cccccccc");
}

TEST_F(TpmStandin, ThreadsShareTheConnectionSafely) {
  {
    Context setup;
    TpmSizedBuffer no_auth{};
    ASSERT_EQ(Tss2_NV_DefineSpace(setup.handle(), &owner_, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 32), 0u);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round) {
        Context context;
        std::string mine(8, static_cast<char>('A' + t * 10 + round));
        TpmSizedBuffer data = sized(mine), read{};
        failures += context.connect_result() != 0 ||
                    Tss2_NV_Write(context.handle(), &owner_, kIndex, static_cast<uint16_t>(8 * t), &data) != 0 ||
                    Tss2_NV_Read(context.handle(), &owner_, kIndex, 8, static_cast<uint16_t>(8 * t), &read) != 0 ||
                    bytes_of(read) != mine;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(nv_bytes(kIndex, 32), "JJJJJJJJTTTTTTTT^^^^^^^^hhhhhhhh");
}

TEST_F(TpmStandin, RefusesWhatItDoesNotServe) {
  TpmContextHandle unconnected = 0;
  ASSERT_EQ(Tspi_Context_Create(&unconnected), 0u);
  EXPECT_NE(unconnected, 0u);
  TpmSizedBuffer read{};
  EXPECT_NE(Tss2_NV_Read(unconnected, &owner_, kIndex, 8, 0, &read), 0u);
  uint16_t remote[] = {'h', 0};
  EXPECT_NE(Tspi_Context_Connect(unconnected, remote), 0u);
  EXPECT_NE(Tspi_Context_FreeMemory(unconnected, read.buffer), 0u);
  EXPECT_EQ(Tspi_Context_FreeMemory(unconnected, nullptr), 0u);
  ASSERT_EQ(Tspi_Context_Connect(unconnected, nullptr), 0u);
  EXPECT_NE(Tspi_Context_Connect(unconnected, nullptr), 0u);  // twice
  EXPECT_EQ(Tspi_Context_Close(unconnected), 0u);
  EXPECT_NE(Tspi_Context_Close(unconnected), 0u);
  EXPECT_NE(Tss2_NV_Read(unconnected, &owner_, kIndex, 8, 0, &read), 0u);
  EXPECT_NE(Tss2_NV_Read(0, &owner_, kIndex, 8, 0, &read), 0u);

  Context context;
  ASSERT_EQ(context.connect_result(), 0u);
  TpmOwnerAuth platform = owner_;
  platform.auth_handle = 0x4000000C;
  TpmSizedBuffer no_auth{};
  EXPECT_NE(Tss2_NV_DefineSpace(context.handle(), &platform, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 8), 0u);
  TpmOwnerAuth long_password = owner_;
  long_password.password_size = 65;
  EXPECT_NE(Tss2_NV_DefineSpace(context.handle(), &long_password, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 8),
            0u);
  EXPECT_NE(Tss2_NV_Read(context.handle(), &owner_, kIndex, 1025, 0, &read), 0u);
  EXPECT_TRUE(nv_bytes(kIndex, 8).empty());  // nothing was defined
}

TEST_F(TpmStandin, OwnerPasswordIsUsed) {
  ASSERT_EQ(tpm2_tool("tpm2_changeauth", {"-c", "o", "owner-pw"}).status, 0);
  Context context;
  ASSERT_EQ(context.connect_result(), 0u);
  TpmSizedBuffer no_auth{};
  EXPECT_NE(Tss2_NV_DefineSpace(context.handle(), &owner_, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 8), 0u);
  TpmOwnerAuth with_password = owner_;
  with_password.password_size = 8;
  memcpy(with_password.password, "owner-pw", 8);
  EXPECT_EQ(Tss2_NV_DefineSpace(context.handle(), &with_password, &no_auth, 0x400A, kIndex, kTpmAlgSm3_256, 8),
            0u);
}

TEST_F(TpmStandin, PcrReadFillsTheValuesRecord) {
  // PCR 16 of SHA-256 extended once with a known digest.
  std::string digest(32, '\x5a');
  std::string digest_hex;
  for (int i = 0; i < 32; ++i) digest_hex += "5a";
  ASSERT_EQ(tpm2_tool("tpm2_pcrextend", {"16:sha256=" + digest_hex}).status, 0);
  unsigned char expected[32];
  unsigned int length = 0;
  std::string message = std::string(32, '\0') + digest;
  EVP_Digest(message.data(), message.size(), expected, &length, EVP_sha256(), nullptr);

  Context context;
  ASSERT_EQ(context.connect_result(), 0u);
  TpmPcrSelection selection, read;
  ASSERT_EQ(Tss2_Init_PcrSelection(&selection), 0u);
  ASSERT_EQ(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSha256, 16), 0u);
  TpmPcrValues values;
  uint32_t counter = 0;
  ASSERT_EQ(Tss2_PCR_Read(context.handle(), &selection, &counter, &values, &read), 0u);
  ASSERT_EQ(values.count, 1u);
  ASSERT_EQ(values.digests[0].size, 32);
  EXPECT_EQ(memcmp(values.digests[0].buffer, expected, 32), 0);
  ASSERT_EQ(read.count, 1u);
  EXPECT_EQ(read.banks[0].hash, kTpmAlgSha256);
  EXPECT_EQ(read.banks[0].pcr_select[2], 0x01);
  EXPECT_GT(counter, 0u);

  // No SM3-256 bank on swtpm: the read fails, leaving no digest.
  ASSERT_EQ(Tss2_Init_PcrSelection(&selection), 0u);
  ASSERT_EQ(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, 0), 0u);
  EXPECT_NE(Tss2_PCR_Read(context.handle(), &selection, &counter, &values, &read), 0u);
  EXPECT_EQ(values.count, 0u);
  EXPECT_EQ(values.digests[0].size, 0);
}

TEST(TpmStandinRecords, SelectionCollectsPcrsPerBank) {
  TpmPcrSelection selection;
  ASSERT_EQ(Tss2_Init_PcrSelection(&selection), 0u);
  EXPECT_EQ(selection.count, 0u);
  ASSERT_EQ(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, 0), 0u);
  ASSERT_EQ(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSha256, 9), 0u);
  ASSERT_EQ(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, 23), 0u);
  ASSERT_EQ(selection.count, 2u);
  EXPECT_EQ(selection.banks[0].hash, kTpmAlgSm3_256);
  EXPECT_EQ(selection.banks[0].pcr_select[0], 0x01);
  EXPECT_EQ(selection.banks[0].pcr_select[2], 0x80);
  EXPECT_EQ(selection.banks[1].pcr_select[1], 0x02);
  EXPECT_NE(Tss2_Set_PcrSelection_Data(&selection, kTpmAlgSm3_256, 32), 0u);
  EXPECT_NE(Tss2_Init_PcrSelection(nullptr), 0u);
}

TEST(TpmStandinRecords, ErrCodeSplitsTypeAndPosition) {
  struct Case {
    uint32_t result, type, offset;
  } cases[] = {
      {0x2C3, 0x083, 0x2},       // TPM_RC_HASH, parameter 2
      {0x1C4, 0x084, 0x1},       // TPM_RC_VALUE, parameter 1
      {0x18B, 0x08B, 0x101},     // TPM_RC_HANDLE, handle 1
      {0x98E, 0x08E, 0x201},     // TPM_RC_AUTH_FAIL, session 1
      {0x0A2, 0x0A2, 0x0},       // TPM_RC_BAD_AUTH without a position
      {0x14A, 0x14A, 0x0},       // TPM_RC_NV_SPACE, format zero
      {0x0C02C3, 0x0C0083, 0x2}, // relayed by a resource manager
      {0xA000A, 0xA000A, 0x0},   // TCTI I/O failure
      {0x7000B, 0x7000B, 0x0},   // ESAPI bad value (format-one-looking bits)
  };
  for (const auto& c : cases) {
    uint32_t type = 1, offset = 1;
    ASSERT_EQ(Tss2_ErrCode(c.result, &type, &offset), 0u);
    EXPECT_EQ(type, c.type) << std::hex << c.result;
    EXPECT_EQ(offset, c.offset) << std::hex << c.result;
  }
}

TEST_F(TpmStandin, TpmThatDiesFailsOpenContextsAndReconnects) {
  Context context;
  ASSERT_EQ(context.connect_result(), 0u);
  tpm_.kill_now();
  auto start = std::chrono::steady_clock::now();
  TpmSizedBuffer read{};
  EXPECT_NE(Tss2_NV_Read(context.handle(), &owner_, kIndex, 8, 0, &read), 0u);
  TpmSizedBuffer data = sized("12345678");
  EXPECT_NE(Tss2_NV_Write(context.handle(), &owner_, kIndex, 0, &data), 0u);
  {
    Context second;
    EXPECT_NE(second.connect_result(), 0u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // A new TPM after the last context of the lost connection has gone.
  Swtpm again;
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_NE(Tss2_NV_Read(context.handle(), &owner_, kIndex, 8, 0, &read), 0u);  // still the lost one
  Tspi_Context_Close(context.handle());
  Context fresh;
  EXPECT_EQ(fresh.connect_result(), 0u);
}

TEST(TpmStandinSignals, SigpipeFromAVanishedPeerIsSwallowed) {
  struct sigaction previous {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &default_action, &previous);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  {
    tpm_standin::SigpipeShield shield;
    errno = 0;
    EXPECT_EQ(write(pair[0], "x", 1), -1);  // would kill the process unshielded
    EXPECT_EQ(errno, EPIPE);
  }
  close(pair[0]);
  sigset_t pending, mask;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));  // the thread's mask is back
  sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
