// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reading NVRAM attributes: the caller's discipline and the buffer bound.
#include <PlatformProtocols.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct FakeNvram {
  OrvexNvramAttributeProtocol iface;
  std::u16string deliver; // copied as is, up to 62 bytes, no terminator added
  EFI_STATUS status = EFI_SUCCESS;
  UINT16 sizeSeen = 0;
  bool bufferWasZero = false;
};

EFI_STATUS EFIAPI fakeGetAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *set, const CHAR16 *name,
                                   UINTN reserved, UINT16 *size, VOID *buffer) {
  auto *fake = reinterpret_cast<FakeNvram *>(This);
  EXPECT_EQ(std::memcmp(set, &gNvramAttributeSetGuid, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(std::u16string(name), u"UsbPorts");
  EXPECT_EQ(reserved, 0u);
  fake->sizeSeen = *size;
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  fake->bufferWasZero = std::all_of(bytes, bytes + 62, [](uint8_t b) { return b == 0; });
  std::memcpy(buffer, fake->deliver.data(), std::min<size_t>(fake->deliver.size() * 2, 62));
  return fake->status;
}

TEST(PlatformAttribute, EveryReadStartsFromSize62AndAZeroedBuffer) {
  FakeNvram fake{{nullptr, fakeGetAttribute}, std::u16string(u"Off\0", 4), EFI_SUCCESS};
  CHAR16 value[31];
  std::memset(value, 0x55, sizeof(value));
  EXPECT_TRUE(KeshReadAttribute(&fake.iface, u"UsbPorts", value));
  EXPECT_EQ(fake.sizeSeen, 62);
  EXPECT_TRUE(fake.bufferWasZero) << "a dirty buffer can fake a terminator";
  EXPECT_EQ(std::u16string(value), u"Off");
  EXPECT_TRUE(KeshAttributeIs(&fake.iface, u"UsbPorts", u"Off"));
  EXPECT_FALSE(KeshAttributeIs(&fake.iface, u"UsbPorts", u"off"));
}

TEST(PlatformAttribute, AValueWithoutTerminatorInsideTheBufferIsNotSet) {
  FakeNvram fake{{nullptr, fakeGetAttribute}, std::u16string(31, u'A'), EFI_SUCCESS};
  CHAR16 value[31];
  EXPECT_FALSE(KeshReadAttribute(&fake.iface, u"UsbPorts", value));
  fake.deliver = std::u16string(30, u'A') + u'\0';
  EXPECT_TRUE(KeshReadAttribute(&fake.iface, u"UsbPorts", value)) << "30 units and the terminator fit";
}

TEST(PlatformAttribute, AnErrorMeansNotSetWhateverTheBufferHolds) {
  FakeNvram fake{{nullptr, fakeGetAttribute}, std::u16string(u"Off\0", 4), EFI_NOT_FOUND};
  CHAR16 value[31];
  EXPECT_FALSE(KeshReadAttribute(&fake.iface, u"UsbPorts", value));
  EXPECT_FALSE(KeshAttributeIs(&fake.iface, u"UsbPorts", u"Off"));
}

PlatformIdRecord gRecord{};
EFI_STATUS gIdStatus = EFI_SUCCESS;
bool gLeaveNull = false;
EFI_STATUS EFIAPI fakeGetIdPtr(PlatformIdRecord **record) {
  if (!gLeaveNull) {
    *record = &gRecord;
  }
  return gIdStatus;
}

TEST(PlatformAttribute, ASuccessfulGetIdPtrWithoutARecordIsAProtocolError) {
  VroPlatformIdProtocol identity{};
  identity.GetIdPtr = fakeGetIdPtr;
  PlatformIdRecord *record = nullptr;
  gRecord.SystemId = 2041;
  EXPECT_EQ(KeshGetPlatformId(&identity, &record), EFI_SUCCESS);
  EXPECT_EQ(record->SystemId, 2041);
  gLeaveNull = true;
  EXPECT_EQ(KeshGetPlatformId(&identity, &record), EFI_PROTOCOL_ERROR);
  gIdStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(KeshGetPlatformId(&identity, &record), EFI_DEVICE_ERROR);
}

} // namespace
