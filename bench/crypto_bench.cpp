// Cost of the per-uplink security work: the MIC check (run up to ~100 times for one frame while a
// lost counter is searched), FRMPayload decryption, and building a join accept.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "lora/Crypto.h"

namespace {

const uint8_t kKeyBytes[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                               0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

void BM_DataMicUplink20(benchmark::State& state) {
  const Lora::CypherKey key(kKeyBytes);
  uint8_t frame[20];
  for (int i = 0; i < 20; ++i) frame[i] = static_cast<uint8_t>(i * 7);
  uint32_t fcnt = 0;
  for (auto _ : state) {
    MicBytes mic = ComputeDataMic(frame, sizeof frame, key, 0x26011bd4, true, fcnt++);
    benchmark::DoNotOptimize(mic);
  }
}
BENCHMARK(BM_DataMicUplink20);

void BM_EncryptPayload51(benchmark::State& state) {
  const Lora::CypherKey key(kKeyBytes);
  uint8_t payload[51];
  std::memset(payload, 0x5A, sizeof payload);
  uint32_t fcnt = 0;
  for (auto _ : state) {
    EncryptPayload(payload, sizeof payload, key, 0x26011bd4, true, fcnt++, payload);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 51);
}
BENCHMARK(BM_EncryptPayload51);

void BM_JoinAcceptBuild(benchmark::State& state) {
  const Lora::CypherKey appKey(kKeyBytes);
  const bool withCfList = state.range(0) != 0;
  const std::size_t length = withCfList ? 33 : 17;
  uint8_t frame[33] = {0x20, 0xc7, 0x0b, 0x57, 0x01, 0x11, 0x22, 0x80, 0x19, 0x03, 0x02, 0x00};
  for (auto _ : state) {
    MicBytes mic = ComputeJoinMic(frame, length - 4, appKey);
    std::memcpy(frame + length - 4, mic.data(), mic.size());
    EncryptJoinAccept(frame + 1, length - 1, appKey, frame + 1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_JoinAcceptBuild)->Arg(0)->Arg(1);

}  // namespace
