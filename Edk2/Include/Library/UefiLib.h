// SPDX-License-Identifier: BSD-2-Clause-Patent
#pragma once
#include <Uefi.h>

EFI_EVENT EFIAPI EfiCreateProtocolNotifyEvent(IN EFI_GUID *ProtocolGuid, IN EFI_TPL NotifyTpl,
                                              IN EFI_EVENT_NOTIFY NotifyFunction,
                                              IN VOID *NotifyContext OPTIONAL, OUT VOID **Registration);
EFI_STATUS EFIAPI EfiCreateEventReadyToBootEx(IN EFI_TPL NotifyTpl,
                                              IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                              IN VOID *NotifyContext OPTIONAL,
                                              OUT EFI_EVENT *ReadyToBootEvent);
EFI_STATUS EFIAPI EfiGetSystemConfigurationTable(IN EFI_GUID *TableGuid, OUT VOID **Table);
