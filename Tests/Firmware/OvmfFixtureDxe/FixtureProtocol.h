// How the phase application asks the OVMF fixture for its summary.
#pragma once
#include <Uefi.h>

inline EFI_GUID gKeshOvmfFixtureProtocolGuid = {
    0x4B455348, 0x4F56, 0x4D46, {0x9A, 0x31, 0x46, 0x49, 0x58, 0x54, 0x55, 0x52}};

typedef struct {
  VOID(EFIAPI *PrintSummary)(VOID);
} KESH_OVMF_FIXTURE_PROTOCOL;
