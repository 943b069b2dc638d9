#include "KeshHub.h"
#include <Library/PciLib.h>

BOOLEAN KeshSpiMmioBase(OUT UINTN *Base) {
  UINT32 Register = PciRead32(KESH_SPI_BASE_REGISTER);
  *Base = (UINTN)(Register & KESH_SPI_BASE_MASK);
  return (Register == 0xFFFFFFFFu || *Base == 0) ? FALSE : TRUE;
}
