// SPDX-License-Identifier: BSD-2-Clause-Patent
// The board as the OVMF fixture and the phase application are given it:
// one fixed-layout block, written by `dxesim ovmf` from a board file and
// handed to QEMU as the fw_cfg file KESH_OVMF_CONFIG_FILE. Shared by the
// firmware and the host tool, so only fixed-width types and no pointers.
#pragma once
#include <Uefi.h>

#define KESH_OVMF_CONFIG_FILE "opt/kesh/board"
#define KESH_OVMF_DRIVER_FILE "opt/kesh/KeshInitDxe.efi"
#define KESH_OVMF_CLIENT_FILE "opt/kesh/S3ClientDxe.efi"

#define KESH_OVMF_CONFIG_MAGIC 0x43564F4Bu // "KOVC"
#define KESH_OVMF_CONFIG_VERSION 1u

// Where the fixture writes its record: a QEMU debug console, so nothing it
// says mixes with the driver's UARTs.
#define KESH_OVMF_RECORD_PORT 0x04F0

#define KESH_OVMF_MAX_ATTRIBUTES 16
#define KESH_OVMF_MAX_STATES 16
#define KESH_OVMF_MAX_PORTS 16
#define KESH_OVMF_MAX_PCD 32
#define KESH_OVMF_MAX_STEPS 32
#define KESH_OVMF_TEXT 64 // bytes of a name or value, terminator included

// Protocols the fixture installs.
#define KESH_OVMF_NVRAM 0x01u
#define KESH_OVMF_IDENTITY 0x02u
#define KESH_OVMF_SATA 0x04u
#define KESH_OVMF_USB_PORT_CONTROL 0x08u
#define KESH_OVMF_MC5744 0x10u
#define KESH_OVMF_SMM_COMMUNICATION 0x20u
#define KESH_OVMF_DEBUG_PRINT_SERVICE 0x40u

// Timeline steps the phase application performs, in order.
#define KESH_OVMF_STEP_LOAD 1
#define KESH_OVMF_STEP_LOAD_S3_CLIENT 2
#define KESH_OVMF_STEP_END_OF_DXE 3
#define KESH_OVMF_STEP_READY_TO_BOOT 4
#define KESH_OVMF_STEP_EXIT_BOOT_SERVICES 5

// GetIdPtr and GetPortList answers.
#define KESH_OVMF_ANSWER_OK 0
#define KESH_OVMF_ANSWER_FAIL 1
#define KESH_OVMF_ANSWER_NULL 2

#pragma pack(push, 1)
typedef struct {
  CHAR8 Name[KESH_OVMF_TEXT];
  CHAR8 Value[KESH_OVMF_TEXT];
  UINT8 Unterminated; // delivered as 31 units with no terminator
  UINT8 Reserved[7];
} KESH_OVMF_ATTRIBUTE;

typedef struct {
  UINT32 Selector;
  UINT8 Answer;
  UINT8 Reserved[3];
} KESH_OVMF_STATE;

typedef struct {
  CHAR8 Name[KESH_OVMF_TEXT];
  UINT8 NullName;
  UINT8 Die;
  UINT16 AhciPort;
  UINT8 Reserved[4];
} KESH_OVMF_PORT;

typedef struct {
  UINT32 Token;
  UINT32 Size; // 1, 2, 4 or 8
  UINT64 Value;
} KESH_OVMF_PCD;

typedef struct {
  UINT32 Magic;
  UINT32 Version;
  UINT32 Size; // of this structure
  UINT32 Protocols;
  UINT8 CmosSpeed;    // CMOS byte 0x6F
  UINT8 CmosLevel[4]; // CMOS bytes 0x7A-0x7D
  UINT8 GetIdAnswer;  // KESH_OVMF_ANSWER_*
  UINT8 SataMode;
  UINT8 SataConfigFails;
  UINT8 PortListAnswer; // KESH_OVMF_ANSWER_*
  UINT8 GcdPresent;     // the board maps the hub's ACPI MMIO page
  UINT16 SystemId;
  UINT32 GcdType;
  UINT64 GcdCapabilities;
  UINT64 GcdAttributes;
  UINT64 CommBufferSize; // 0: none
  UINT64 DebugPrintFilters;
  UINT32 AttributeCount;
  UINT32 StateCount;
  UINT32 PortCount;
  UINT32 PcdCount;
  UINT32 StepCount;
  KESH_OVMF_ATTRIBUTE Attributes[KESH_OVMF_MAX_ATTRIBUTES];
  KESH_OVMF_STATE States[KESH_OVMF_MAX_STATES];
  KESH_OVMF_PORT Ports[KESH_OVMF_MAX_PORTS];
  KESH_OVMF_PCD Pcd[KESH_OVMF_MAX_PCD];
  UINT8 Steps[KESH_OVMF_MAX_STEPS];
} KESH_OVMF_CONFIG;
#pragma pack(pop)

static_assert(sizeof(KESH_OVMF_ATTRIBUTE) == 136);
static_assert(sizeof(KESH_OVMF_PORT) == 72);
static_assert(OFFSET_OF(KESH_OVMF_CONFIG, Attributes) == 84);
