// libFuzzer target: arbitrary bytes as the storage stack's two answers to the probe (the
// header and the descriptor, with any Size and offsets), each a success or one of the
// errors the probe tolerates or not, through the host's DeviceIoControl. Any read or
// write outside a buffer is a finding; so is a result outside 0-4, a handle or a local
// block left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "monitor/CardTypeProbe.h"
#include "platform/host/control.h"

namespace {

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "probe_fuzzer: %s\n", what);
  std::abort();
}

// 0 answers; the others fail with a tolerated code or with one that ends the probe.
constexpr DWORD kQueryErrors[] = {0, ERROR_MORE_DATA, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED,
                                  ERROR_GEN_FAILURE};

// Input: one byte choosing each query's error, two (little endian) giving how many of the
// following bytes the header answer takes; the rest is the descriptor answer.
kstv::host::Volume VolumeFrom(const std::uint8_t* data, std::size_t size) {
  kstv::host::Volume volume;
  volume.letter = 'E';
  volume.vendor = "Kestrova";
  volume.product = "SDHC Reader";
  if (size < 3) return volume;
  constexpr std::size_t errorCount = sizeof kQueryErrors / sizeof kQueryErrors[0];
  volume.headerError = kQueryErrors[(data[0] & 0x0F) % errorCount];
  volume.descriptorError = kQueryErrors[(data[0] >> 4) % errorCount];
  std::size_t headerLength = data[1] | static_cast<std::size_t>(data[2]) << 8;
  const char* rest = reinterpret_cast<const char*>(data + 3);
  std::size_t restLength = size - 3;
  if (headerLength > restLength) headerLength = restLength;
  volume.headerAnswer = std::string(rest, headerLength);
  volume.descriptorAnswer = std::string(rest + headerLength, restLength - headerLength);
  return volume;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::size_t handles = kstv::host::openKernelHandleCount();
  kstv::host::addVolume(VolumeFrom(data, size));
  auto type = static_cast<DWORD>(kstv::ProbeCardType(KSTV_W("E:")));
  Require(type <= static_cast<DWORD>(kstv::CardType::MS), "a result outside the card types");
  Require(kstv::host::openKernelHandleCount() == handles, "a volume handle was left open");
  Require(kstv::host::liveLocalAllocations() == 0, "a descriptor buffer was left");
  return 0;
}
