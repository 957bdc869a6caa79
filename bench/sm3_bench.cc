// SM3 throughput against OpenSSL's EVP SM3 in the same process and run.
//
// Benchmarks: SM3_process and EVP_DigestUpdate over 16 KiB buffers (the
// headline pair), the same for 64-byte and 1 KiB messages hashed whole, and
// SM3_process with each compression variant this CPU supports. After the
// usual table it prints each of ours as a ratio to its OpenSSL anchor, from
// the best repetition of each (run with --benchmark_repetitions=N to smooth
// out a busy machine).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "measure/sm3.h"
#include "measure/sm3_compress.h"

namespace {

std::vector<uint8_t> random_buffer(size_t n) {
  std::mt19937 rng(42);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

// Streaming: one context, one update per iteration, as a file is hashed.
void stream_ours(benchmark::State& state, size_t size, sm3_internal::CompressFn variant) {
  const std::vector<uint8_t> buffer = random_buffer(size);
  sm3_internal::force_compress(variant);
  SM3_context ctx;
  SM3_init(&ctx);
  for (auto _ : state) {
    SM3_process(&ctx, buffer.data(), static_cast<int32_t>(size));
    benchmark::DoNotOptimize(ctx.state);
  }
  uint8_t out[32];
  SM3_done(&ctx, out);
  benchmark::DoNotOptimize(out);
  sm3_internal::force_compress(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void stream_openssl(benchmark::State& state, size_t size) {
  const std::vector<uint8_t> buffer = random_buffer(size);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sm3(), nullptr);
  for (auto _ : state) {
    EVP_DigestUpdate(ctx, buffer.data(), size);
    benchmark::ClobberMemory();
  }
  uint8_t out[32];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, out, &len);
  benchmark::DoNotOptimize(out);
  EVP_MD_CTX_free(ctx);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Whole short messages: initialisation and padding weigh in.
void whole_ours(benchmark::State& state, size_t size) {
  const std::vector<uint8_t> buffer = random_buffer(size);
  uint8_t out[32];
  for (auto _ : state) {
    SM3_256(buffer.data(), static_cast<int32_t>(size), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void whole_openssl(benchmark::State& state, size_t size) {
  const std::vector<uint8_t> buffer = random_buffer(size);
  const EVP_MD* md = EVP_sm3();
  uint8_t out[32];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(buffer.data(), size, out, &len, md, nullptr);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Keeps the best throughput of every benchmark while the console reporter
// prints as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end()) continue;
      double& best = best_[run.run_name.function_name];
      if (rate->second.value > best) best = rate->second.value;
    }
  }
  double best(const std::string& name) const {
    const auto it = best_.find(name);
    return it == best_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> best_;
};

void print_ratio(const RatioReporter& reporter, const std::string& ours, const std::string& anchor) {
  const double a = reporter.best(ours), b = reporter.best(anchor);
  if (a <= 0 || b <= 0) return;
  printf("ratio %-28s / %-20s = %.3f  (%.1f / %.1f MB/s)\n", ours.c_str(), anchor.c_str(), a / b, a / 1e6, b / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  constexpr size_t kStream = 16 * 1024;
  benchmark::RegisterBenchmark("evp_sm3_update_16k", stream_openssl, kStream);
  benchmark::RegisterBenchmark("sm3_process_16k", stream_ours, kStream, nullptr);
  std::vector<std::string> variants;
  for (const auto& v : sm3_internal::sm3_compress_variants()) {
    if (!v.supported) continue;
    variants.push_back(std::string("sm3_process_16k/").append(v.name));
    benchmark::RegisterBenchmark(variants.back().c_str(), stream_ours, kStream, v.fn);
  }
  for (size_t size : {size_t{64}, size_t{1024}}) {
    const std::string digits = std::to_string(size);
    benchmark::RegisterBenchmark(std::string("evp_digest_").append(digits).c_str(), whole_openssl, size);
    benchmark::RegisterBenchmark(std::string("sm3_256_").append(digits).c_str(), whole_ours, size);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  printf("\n");
  print_ratio(reporter, "sm3_process_16k", "evp_sm3_update_16k");
  for (const std::string& name : variants) print_ratio(reporter, name, "evp_sm3_update_16k");
  print_ratio(reporter, "sm3_256_64", "evp_digest_64");
  print_ratio(reporter, "sm3_256_1024", "evp_digest_1024");
  return 0;
}
