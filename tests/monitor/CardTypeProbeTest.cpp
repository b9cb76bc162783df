// The probe on the emulated machine's volumes: vendor and prefix rules, faulty
// descriptors and failing queries; every handle and buffer released on every path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/CardTypeProbe.h"
#include "platform/host/control.h"
#include "tests/support/RecordedCalls.h"

namespace kstv::test {
namespace {

class CardTypeProbeTest : public ::testing::Test {
 protected:
  CardTypeProbeTest()
      : handles_(host::openKernelHandleCount()), blocks_(host::liveLocalAllocations()) {
    host::resetCallCounts();
  }
  ~CardTypeProbeTest() override {
    EXPECT_EQ(handles_, host::openKernelHandleCount()) << "a volume handle was not closed";
    EXPECT_EQ(blocks_, host::liveLocalAllocations()) << "a descriptor buffer was not freed";
    host::clearFailures();
    for (const host::Volume& volume : host::volumes())
      if (volume.letter != 'C') host::removeVolume(volume.letter);
  }

  static CardType probeCard(const char* vendor, const char* product) {
    host::Volume volume;
    volume.letter = 'E';
    volume.vendor = vendor;
    volume.product = product;
    host::addVolume(volume);
    return ProbeCardType(KSTV_W("E:"));
  }

  static CardType probe(const host::Volume& volume) {
    host::addVolume(volume);
    const WCHAR driveId[] = {static_cast<WCHAR>(volume.letter), u':', 0};
    return ProbeCardType(driveId);
  }

  static host::Volume card() {
    host::Volume volume;
    volume.vendor = "Kestrova";
    volume.product = "SDHC Reader";
    return volume;
  }

 private:
  std::size_t handles_;
  std::size_t blocks_;
};

TEST_F(CardTypeProbeTest, EachProductPrefixOfTheReaderGivesItsCard) {
  EXPECT_EQ(CardType::SD, probeCard("Kestrova", "SDHC Reader"));
  EXPECT_EQ(CardType::MMC, probeCard("Kestrova", "MMCplus"));
  EXPECT_EQ(CardType::XD, probeCard("Kestrova", "xD-Picture"));
  EXPECT_EQ(CardType::MS, probeCard("Kestrova", "MSPro"));
  EXPECT_EQ(CardType::MS, probeCard("Kestrova", "MS"));
}

TEST_F(CardTypeProbeTest, PrefixesAreCaseSensitiveAndMustBeWhole) {
  EXPECT_EQ(CardType::None, probeCard("Kestrova", "XD"));
  EXPECT_EQ(CardType::None, probeCard("Kestrova", "sd"));
  EXPECT_EQ(CardType::None, probeCard("Kestrova", "M"));
  EXPECT_EQ(CardType::None, probeCard("Kestrova", "MM"));
  EXPECT_EQ(CardType::None, probeCard("Kestrova", ""));
  EXPECT_EQ(CardType::None, probeCard("Kestrova", "CF Reader"));
}

TEST_F(CardTypeProbeTest, TheFirstPrefixInOrderDecides) {
  EXPECT_EQ(CardType::SD, probeCard("Kestrova", "SDMMC"));
  EXPECT_EQ(CardType::MMC, probeCard("Kestrova", "MMCSD"));
}

TEST_F(CardTypeProbeTest, OnlyTheExactVendorIdCounts) {
  EXPECT_EQ(CardType::None, probeCard("KESTROVA", "SDHC"));
  EXPECT_EQ(CardType::None, probeCard("Kestrova ", "SDHC"));
  EXPECT_EQ(CardType::None, probeCard("KestrovaX", "SDHC"));
  EXPECT_EQ(CardType::None, probeCard("Kestrov", "SDHC"));
  EXPECT_EQ(CardType::None, probeCard("Generic", "SDHC"));
}

TEST_F(CardTypeProbeTest, AnAbsentIdGivesNoCard) {
  for (DWORD absent : {0u, 0xFFFFFFFFu}) {
    host::Volume noProduct = card();
    noProduct.productIdOffset = absent;
    EXPECT_EQ(CardType::None, probe(noProduct));
    host::Volume noVendor = card();
    noVendor.vendorIdOffset = absent;
    EXPECT_EQ(CardType::None, probe(noVendor));
  }
  host::Volume withoutVendor = card();
  withoutVendor.vendor.reset();
  EXPECT_EQ(CardType::None, probe(withoutVendor));
}

TEST_F(CardTypeProbeTest, AnOffsetOutsideTheDescriptorIsNeverFollowed) {
  host::Volume beyond = card();
  beyond.productIdOffset = 5000;
  EXPECT_EQ(CardType::None, probe(beyond));

  // A product id whose terminator lies past the reported Size.
  host::Volume cut = card();
  cut.descriptorSize = 40 + 9 + 2;  // the fixed part, "Kestrova" and its NUL, "SD"
  EXPECT_EQ(CardType::None, probe(cut));
}

TEST_F(CardTypeProbeTest, TheDescriptorsOwnSizeBoundsTheIdsAsWellAsTheHeaders) {
  // The header promises the whole descriptor; the descriptor itself says it ends inside
  // the product id, "SDHC Reader", whose terminator lies past that Size.
  STORAGE_DEVICE_DESCRIPTOR fields{};
  fields.Version = sizeof fields;
  fields.VendorIdOffset = sizeof fields;
  fields.ProductIdOffset = sizeof fields + 9;  // behind "Kestrova" and its NUL
  const std::string ids = std::string("Kestrova\0SDHC Reader\0", 21);
  const DWORD whole = static_cast<DWORD>(sizeof fields + ids.size());
  auto answerWithSize = [&](DWORD size) {
    fields.Size = size;
    std::string bytes(reinterpret_cast<const char*>(&fields), sizeof fields);
    return bytes + ids;
  };
  host::Volume cut = card();
  cut.headerAnswer = answerWithSize(whole).substr(0, sizeof(STORAGE_DESCRIPTOR_HEADER));
  cut.descriptorAnswer = answerWithSize(sizeof fields + 9 + 4);  // "Kestrova", NUL, "SDHC"
  EXPECT_EQ(CardType::None, probe(cut));

  // The same answer with the descriptor's Size reaching the terminator is a card.
  host::Volume complete = card();
  complete.headerAnswer = cut.headerAnswer;
  complete.descriptorAnswer = answerWithSize(whole);
  EXPECT_EQ(CardType::SD, probe(complete));

  // A descriptor that says it holds nothing holds no ids either.
  host::Volume empty = card();
  empty.headerAnswer = cut.headerAnswer;
  empty.descriptorAnswer = answerWithSize(0);
  EXPECT_EQ(CardType::None, probe(empty));
}

TEST_F(CardTypeProbeTest, ASizeTooSmallForTheFieldsIsNoAnswerAndNothingIsAllocated) {
  // The header reports the descriptor's own Size: 1 to 7 bytes would not even hold that.
  for (DWORD size = 1; size < 20; ++size) {
    SCOPED_TRACE(size);
    host::resetCallCounts();
    host::Volume tiny = card();
    tiny.descriptorSize = size;
    EXPECT_EQ(CardType::None, probe(tiny));
    EXPECT_EQ(0u, host::callCount("LocalAlloc"));
    EXPECT_EQ(2u, host::callCount("DeviceIoControl"));  // the medium check and the header
  }
}

TEST_F(CardTypeProbeTest, AnImplausiblyLargeDescriptorIsRefusedBeforeAllocating) {
  for (DWORD size : {64u * 1024 + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(size);
    host::resetCallCounts();
    host::Volume huge = card();
    huge.headerAnswer =
        std::string("\x28\0\0\0", 4) + std::string(reinterpret_cast<char*>(&size), 4);
    EXPECT_EQ(CardType::None, probe(huge));
    EXPECT_EQ(0u, host::callCount("LocalAlloc"));
  }
  // 64 KiB is still a descriptor.
  host::Volume large = card();
  large.descriptorSize = 64 * 1024;
  EXPECT_EQ(CardType::SD, probe(large));
}

TEST_F(CardTypeProbeTest, AShortHeaderAnswerLeavesTheRestOfTheHeaderZero) {
  host::Volume cut = card();
  cut.product = "SD";                                   // a descriptor of 57 bytes
  cut.headerAnswer = std::string("\x28\0\0\0\x39", 5);  // Size with its low byte only
  EXPECT_EQ(CardType::SD, probe(cut));
  cut.headerAnswer = std::string("\x28\0\0", 3);  // no Size at all
  EXPECT_EQ(CardType::None, probe(cut));
}

// The storage queries need no access rights; an open for reading or writing would have
// Windows mount the card's file system (and retry a failing card). Should the path name a
// pipe after all, its server could only identify the caller.
TEST_F(CardTypeProbeTest, TheVolumeIsOpenedWithoutRightsSharedExistingAndUnimpersonable) {
  RecordingCalls recording;
  EXPECT_EQ(CardType::SD, probe(card()));
  EXPECT_EQ((ArgumentLists{{"\\\\.\\E:", "0x0", "0x3", "null", "0x3", "0x110000", "null"}}),
            argumentsOf("CreateFileA"));
}

// An empty slot of the reader still reports the reader's descriptor: only the device's
// answer that it holds no medium tells, and the descriptor is not asked for then.
TEST_F(CardTypeProbeTest, AnEmptySlotIsNoCardAndIsNeverOpenedForReadingOrWriting) {
  host::Volume empty = card();
  empty.noMedium = true;
  RecordingCalls recording;
  EXPECT_EQ(CardType::None, probe(empty));
  ASSERT_EQ(1u, argumentsOf("CreateFileA").size());
  EXPECT_EQ("0x0", argumentsOf("CreateFileA")[0][1]);
  EXPECT_EQ(1u, host::callCount("DeviceIoControl"));
}

// A device that cannot tell whether it holds a medium (a fixed disk may not support the
// check), or says the medium has changed, is asked for its descriptor all the same.
TEST_F(CardTypeProbeTest, AMediumCheckThatAnswersAnythingButNotReadyStillReadsTheCard) {
  for (DWORD error : {ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, 1110L /* media changed */,
                      ERROR_GEN_FAILURE}) {
    SCOPED_TRACE(error);
    host::resetCallCounts();
    host::failCall("DeviceIoControl", error, 1);
    EXPECT_EQ(CardType::SD, probe(card()));
    EXPECT_EQ(3u, host::callCount("DeviceIoControl"));
  }
}

TEST_F(CardTypeProbeTest, ADriveThatCannotBeOpenedIsNeverQueried) {
  host::Volume locked = card();
  locked.openError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(CardType::None, probe(locked));
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("Q:")));  // no such drive
  EXPECT_EQ(0u, host::callCount("DeviceIoControl"));
}

TEST_F(CardTypeProbeTest, AToleratedHeaderFailureMeansNoSecondQuery) {
  for (DWORD error : {ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_MORE_DATA}) {
    SCOPED_TRACE(error);
    host::resetCallCounts();
    host::Volume volume = card();
    volume.headerError = error;
    EXPECT_EQ(CardType::None, probe(volume));
    EXPECT_EQ(2u, host::callCount("DeviceIoControl"));  // the medium check and the header
    EXPECT_EQ(0u, host::callCount("LocalAlloc"));
  }
}

TEST_F(CardTypeProbeTest, AnyOtherHeaderFailureEndsTheProbe) {
  host::Volume volume = card();
  volume.headerError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(CardType::None, probe(volume));
  EXPECT_EQ(2u, host::callCount("DeviceIoControl"));
}

TEST_F(CardTypeProbeTest, AFailedDescriptorQueryGivesNoCard) {
  for (DWORD error : {ERROR_NOT_SUPPORTED, ERROR_GEN_FAILURE}) {
    SCOPED_TRACE(error);
    host::resetCallCounts();
    host::Volume volume = card();
    volume.descriptorError = error;
    EXPECT_EQ(CardType::None, probe(volume));
    EXPECT_EQ(3u, host::callCount("DeviceIoControl"));
  }
}

TEST_F(CardTypeProbeTest, NoBufferForTheDescriptorGivesNoCard) {
  host::failCall("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(CardType::None, probe(card()));
  EXPECT_EQ(2u, host::callCount("DeviceIoControl"));
}

TEST_F(CardTypeProbeTest, ADriveIdTooLongForTheDevicePathIsRefusedUnopened) {
  host::addVolume(card());
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("E:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")));
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("")));
  // 27 characters would still fit the path, but are no drive id either.
  EXPECT_EQ(CardType::None, ProbeCardType(KSTV_W("E:aaaaaaaaaaaaaaaaaaaaaaaaa")));
  EXPECT_EQ(CardType::None, ProbeCardType(nullptr));
  EXPECT_EQ(0u, host::callCount("CreateFileA"));
  EXPECT_EQ(CardType::SD, ProbeCardType(KSTV_W("e:")));  // a drive id in either case
}

}  // namespace
}  // namespace kstv::test
