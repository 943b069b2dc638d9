// SPDX-License-Identifier: BSD-2-Clause-Patent
// The platform protocols this driver uses. Other firmware modules install
// them; the driver locates each one when it needs it and calls only the
// members declared here, at their fixed offsets.
#pragma once
#include <Uefi.h>

inline EFI_GUID gOrvexNvramAttributeProtocolGuid = {
    0x85A3C2A8, 0x0B8A, 0x41D9, {0x91, 0x53, 0x14, 0x47, 0xAC, 0x37, 0x5E, 0xFF}};
inline EFI_GUID gNvramAttributeSetGuid = {
    0xDB4B9AA9, 0x459A, 0x488C, {0xA3, 0xE6, 0x07, 0xE6, 0x3C, 0xF2, 0x03, 0x08}};
inline EFI_GUID gVroPlatformIdProtocolGuid = {
    0x87C6B749, 0x63CF, 0x430D, {0x87, 0xB8, 0xE8, 0xCB, 0xDC, 0x87, 0x39, 0xE2}};
inline EFI_GUID gVroSataProtocolGuid = {
    0x5011362F, 0x44C0, 0x4ED2, {0xA4, 0xD8, 0x13, 0x6F, 0x02, 0x80, 0x41, 0x9F}};
inline EFI_GUID gUsbPortControlProtocolGuid = {
    0xDB4A79AC, 0x5BBB, 0x4625, {0xA6, 0x9E, 0xFE, 0xBF, 0x9D, 0x6D, 0x95, 0xEB}};
inline EFI_GUID gMc5744ProtocolGuid = {
    0xA40A449B, 0xAB60, 0x4307, {0x83, 0xFD, 0x29, 0x78, 0x22, 0x22, 0xA9, 0x62}};

// An attribute value: at most 30 CHAR16 units and the terminator.
#define NVRAM_ATTRIBUTE_VALUE_SIZE 62

typedef struct OrvexNvramAttributeProtocol OrvexNvramAttributeProtocol;
typedef EFI_STATUS(EFIAPI *ORVEX_NVRAM_GET_ATTRIBUTE)(IN OrvexNvramAttributeProtocol *This,
                                                      IN EFI_GUID *AttributeSet, IN CONST CHAR16 *Name,
                                                      IN UINTN Reserved, IN OUT UINT16 *Size,
                                                      OUT VOID *Buffer);
struct OrvexNvramAttributeProtocol {
  VOID *Reserved0;
  ORVEX_NVRAM_GET_ATTRIBUTE GetAttribute;
};
static_assert(OFFSET_OF(OrvexNvramAttributeProtocol, GetAttribute) == 8);

// Owned by the identity protocol and valid for the rest of boot.
typedef struct {
  UINT8 Reserved0[50];
  UINT16 SystemId;
  UINT8 Reserved1[12];
} PlatformIdRecord;
static_assert(OFFSET_OF(PlatformIdRecord, SystemId) == 50);

#define SYSTEM_ID_2039 2039
#define SYSTEM_ID_2040 2040
#define SYSTEM_ID_2041 2041
#define PLATFORM_STATE_PWD 8

typedef EFI_STATUS(EFIAPI *VRO_PLATFORM_GET_ID_PTR)(OUT PlatformIdRecord **Record);
typedef UINT8(EFIAPI *VRO_PLATFORM_QUERY_STATE)(IN UINTN Selector);
typedef struct {
  VOID *Reserved0;
  VRO_PLATFORM_GET_ID_PTR GetIdPtr;
  VOID *Reserved2[5];
  VRO_PLATFORM_QUERY_STATE QueryPlatformState;
} VroPlatformIdProtocol;
static_assert(OFFSET_OF(VroPlatformIdProtocol, GetIdPtr) == 8);
static_assert(OFFSET_OF(VroPlatformIdProtocol, QueryPlatformState) == 56);

typedef struct {
  UINT8 Reserved0[8];
  CHAR16 *Name;
  UINT8 Reserved1[32];
  UINT16 AhciPort;
  UINT8 Die;
  UINT8 Reserved2[5];
} SataPortEntry;
static_assert(sizeof(SataPortEntry) == 56);
static_assert(OFFSET_OF(SataPortEntry, Name) == 8);
static_assert(OFFSET_OF(SataPortEntry, AhciPort) == 48);
static_assert(OFFSET_OF(SataPortEntry, Die) == 50);

typedef struct VroSataProtocol VroSataProtocol;
typedef EFI_STATUS(EFIAPI *VRO_SATA_GET_PORT_LIST)(IN VroSataProtocol *This, OUT SataPortEntry **Ports,
                                                   OUT UINT8 *Count);
typedef EFI_STATUS(EFIAPI *VRO_SATA_GET_SATA_CONFIG)(IN VroSataProtocol *This, OUT UINT64 *Config,
                                                     OUT UINT8 *SataMode);
struct VroSataProtocol {
  VOID *Reserved0[2];
  VRO_SATA_GET_PORT_LIST GetPortList;
  VOID *Reserved3[2];
  VRO_SATA_GET_SATA_CONFIG GetSataConfig;
};
static_assert(OFFSET_OF(VroSataProtocol, GetPortList) == 16);
static_assert(OFFSET_OF(VroSataProtocol, GetSataConfig) == 40);

typedef struct UsbPortControlProtocol UsbPortControlProtocol;
typedef EFI_STATUS(EFIAPI *USB_PORT_CONTROL_SET_PORT_MASK)(IN UsbPortControlProtocol *This,
                                                           IN UINT32 Controller, IN UINT32 Mask,
                                                           IN UINT32 Value);
struct UsbPortControlProtocol {
  VOID *Reserved0[6];
  USB_PORT_CONTROL_SET_PORT_MASK SetPortMask;
};
static_assert(OFFSET_OF(UsbPortControlProtocol, SetPortMask) == 48);

// 1 = port enabled, 0 = port disabled.
typedef struct {
  UINT32 Enable0;
  UINT32 Enable1;
  UINT32 Enable2;
  UINT32 Enable3;
} Mc5744PortEnables;
static_assert(sizeof(Mc5744PortEnables) == 16 && OFFSET_OF(Mc5744PortEnables, Enable3) == 12);

typedef struct Mc5744Protocol Mc5744Protocol;
typedef EFI_STATUS(EFIAPI *MC5744_APPLY_CONFIG)(IN Mc5744Protocol *This, IN UINTN Apply);
typedef EFI_STATUS(EFIAPI *MC5744_SET_PORT_ENABLES)(IN Mc5744Protocol *This, IN Mc5744PortEnables *Enables);
struct Mc5744Protocol {
  VOID *Reserved0[6];
  MC5744_APPLY_CONFIG ApplyConfig;
  MC5744_SET_PORT_ENABLES SetPortEnables;
};
static_assert(OFFSET_OF(Mc5744Protocol, ApplyConfig) == 48);
static_assert(OFFSET_OF(Mc5744Protocol, SetPortEnables) == 56);

// Reads one NVRAM attribute into Value (NVRAM_ATTRIBUTE_VALUE_SIZE bytes).
// FALSE when the attribute is not set, including a value that does not end
// inside the buffer.
BOOLEAN KeshReadAttribute(IN OrvexNvramAttributeProtocol *Nvram, IN CONST CHAR16 *Name, OUT CHAR16 *Value);
// The attribute is set and equals Expected exactly.
BOOLEAN KeshAttributeIs(IN OrvexNvramAttributeProtocol *Nvram, IN CONST CHAR16 *Name,
                        IN CONST CHAR16 *Expected);
// GetIdPtr, with a success that leaves the record null counted as EFI_PROTOCOL_ERROR.
EFI_STATUS KeshGetPlatformId(IN VroPlatformIdProtocol *Identity, OUT PlatformIdRecord **Record);
