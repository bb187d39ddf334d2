// Packets per second through CRTPReceiverOnUDP::Execute (README.md,
// "Reorder buffer").
//
// Stream: frames of 7 RTP packets of 1400 bytes (a start packet, 5 middle
// packets, a marked last packet), 3000 timestamp ticks apart. One cycle
// numbers packets 0..65533 (whole frames only, so no frame spans the 16-bit
// wrap, which this receiver never delivers) and then restarts at 0. Arrival
// orders: as sent; with 1% of packets swapped with their successor; with 1%
// of packets lost. Side by side in the same run: the pass-through receiver
// (a floor: one virtual call into the host) and the per-packet storage work
// alone (zero-fill of a 5000-byte buffer plus the copy of the packet).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_udp.h>

namespace {

constexpr int kPacketsPerFrame = 7;
constexpr std::size_t kPacketLength = 1400;
constexpr std::uint32_t kFramesPerCycle = 65534 / kPacketsPerFrame;
constexpr std::uint32_t kPacketsPerCycle = kFramesPerCycle * kPacketsPerFrame;

enum class Pattern { kInOrder, kSwap1Percent, kLoss1Percent };

// Small deterministic generator, so every run sees the same stream.
struct Lcg {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 33);
  }
};

// Packet indices of one cycle in arrival order.
std::vector<std::uint16_t> ArrivalOrder(Pattern pattern) {
  std::vector<std::uint16_t> order;
  order.reserve(kPacketsPerCycle);
  for (std::uint32_t i = 0; i < kPacketsPerCycle; ++i)
    order.push_back(static_cast<std::uint16_t>(i));
  Lcg rng;
  if (pattern == Pattern::kSwap1Percent) {
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
      if (rng.next() % 100 == 0) {
        std::swap(order[i], order[i + 1]);
        ++i;  // a swapped pair is not swapped again
      }
    }
  } else if (pattern == Pattern::kLoss1Percent) {
    std::vector<std::uint16_t> kept;
    kept.reserve(order.size());
    // No loss in the last frames of a cycle: an incomplete frame left there
    // would outlive the restart at 0 and blur the figures.
    for (std::uint16_t idx : order) {
      if (idx + 100u < kPacketsPerCycle && rng.next() % 100 == 0) continue;
      kept.push_back(idx);
    }
    order.swap(kept);
  }
  return order;
}

// Rewrites `pkt` in place into packet `idx` of the cycle.
void FillPacket(std::string& pkt, std::uint16_t idx) {
  const std::uint32_t frame = idx / kPacketsPerFrame;
  const int pos = idx % kPacketsPerFrame;
  const std::uint32_t ts = frame * 3000u;
  pkt[1] = static_cast<char>((pos == kPacketsPerFrame - 1 ? 0x80 : 0) | 96);
  pkt[2] = static_cast<char>(idx >> 8);
  pkt[3] = static_cast<char>(idx);
  pkt[4] = static_cast<char>(ts >> 24);
  pkt[5] = static_cast<char>(ts >> 16);
  pkt[6] = static_cast<char>(ts >> 8);
  pkt[7] = static_cast<char>(ts);
  static const char kStart[4] = {'\xC0', '\x02', '\x40', '\xFF'};
  static const char kSlice[4] = {'\x65', '\x88', '\x84', '\x00'};
  std::memcpy(&pkt[12], pos == 0 ? kStart : kSlice, 4);
}

std::string BlankPacket() {
  std::string pkt(kPacketLength, '\0');
  pkt[0] = '\x80';
  for (std::size_t i = 16; i < pkt.size(); ++i) pkt[i] = static_cast<char>(i * 31);
  return pkt;
}

// Host that only counts and looks at one byte of each packet.
class CountingHost : public IRTPReceiver {
 public:
  bool OnRecvData(const char* data, unsigned int length, bool, SDP*) override {
    ++packets;
    checksum += static_cast<unsigned char>(data[length - 1]);
    return true;
  }
  std::uint64_t packets = 0;
  std::uint64_t checksum = 0;
};

void BM_ReorderExecute(benchmark::State& state, Pattern pattern) {
  const std::vector<std::uint16_t> order = ArrivalOrder(pattern);
  std::string pkt = BlankPacket();
  CountingHost host;
  CRTPReceiverOnUDP* udp = new CRTPReceiverOnUDP(100);
  std::size_t next = 0;
  std::uint64_t failures = 0;
  for (auto _ : state) {
    FillPacket(pkt, order[next]);
    if (++next == order.size()) next = 0;
    if (!udp->Execute(&host, pkt, false, nullptr)) ++failures;
  }
  udp->Destroy();
  benchmark::DoNotOptimize(host.checksum);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  const double n = static_cast<double>(state.iterations());
  state.counters["delivered"] = static_cast<double>(host.packets) / n;
  state.counters["failures"] = static_cast<double>(failures);
}

// Floor: the pass-through receiver hands each packet straight on.
void BM_PassThroughExecute(benchmark::State& state) {
  const std::vector<std::uint16_t> order = ArrivalOrder(Pattern::kInOrder);
  std::string pkt = BlankPacket();
  CountingHost host;
  host.changeImpl(RTP_RECEIVER_TCP);
  std::size_t next = 0;
  for (auto _ : state) {
    FillPacket(pkt, order[next]);
    if (++next == order.size()) next = 0;
    benchmark::DoNotOptimize(host.Execute(pkt, false, nullptr));
  }
  benchmark::DoNotOptimize(host.checksum);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The storage work every buffered packet costs, alone: zero-fill of one
// 5000-byte buffer and the copy of the packet into it.
void BM_StoreFloor(benchmark::State& state) {
  const std::vector<std::uint16_t> order = ArrivalOrder(Pattern::kInOrder);
  std::string pkt = BlankPacket();
  static CRTPReceiverOnUDP::RecvPacketBuf buf;
  std::size_t next = 0;
  for (auto _ : state) {
    FillPacket(pkt, order[next]);
    if (++next == order.size()) next = 0;
    std::memset(buf.data, 0, sizeof buf.data);
    benchmark::ClobberMemory();
    std::memcpy(buf.data, pkt.data(), pkt.size());
    buf.length = static_cast<std::uint32_t>(pkt.size());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReorderExecute, in_order, Pattern::kInOrder);
BENCHMARK_CAPTURE(BM_ReorderExecute, swap_1pct, Pattern::kSwap1Percent);
BENCHMARK_CAPTURE(BM_ReorderExecute, loss_1pct, Pattern::kLoss1Percent);
BENCHMARK(BM_PassThroughExecute);
BENCHMARK(BM_StoreFloor);

BENCHMARK_MAIN();
