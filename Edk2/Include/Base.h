// SPDX-License-Identifier: BSD-2-Clause-Patent
// Processor-binding and base definitions shared by every firmware module.
// Freestanding: no C or C++ library header is included, so the same code
// builds for the UEFI image (LLP64) and for the host (LP64).
#pragma once

typedef __UINT64_TYPE__ UINT64;
typedef __INT64_TYPE__ INT64;
typedef __UINT32_TYPE__ UINT32;
typedef __INT32_TYPE__ INT32;
typedef __UINT16_TYPE__ UINT16;
typedef __INT16_TYPE__ INT16;
typedef __UINT8_TYPE__ UINT8;
typedef __INT8_TYPE__ INT8;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef unsigned char BOOLEAN;
typedef __UINTPTR_TYPE__ UINTN;
typedef __INTPTR_TYPE__ INTN;
typedef void VOID;

static_assert(sizeof(UINT64) == 8 && sizeof(UINT32) == 4 && sizeof(UINT16) == 2 && sizeof(UINT8) == 1);
static_assert(sizeof(UINTN) == 8, "x86-64 only");
static_assert(sizeof(CHAR16) == 2);

// Firmware code writes nullptr; NULL keeps its C spelling for assertion texts
// Assertion reports quote expressions after macro expansion, so these
// spellings are visible in the log and must stay exactly as they are.
// clang-format off
#ifdef NULL
#undef NULL
#endif
#define TRUE  ((BOOLEAN)(1==1))
#define FALSE ((BOOLEAN)(0==1))
#define NULL  ((void *) 0)
// clang-format on

#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define STATIC static

#define MAX_UINT8 ((UINT8)0xFF)
#define MAX_UINT16 ((UINT16)0xFFFF)
#define MAX_UINT32 ((UINT32)0xFFFFFFFF)
#define MAX_UINT64 ((UINT64)0xFFFFFFFFFFFFFFFFULL)
#define MAX_UINTN MAX_UINT64
#define MAX_BIT 0x8000000000000000ULL

#define BIT0 0x00000001
#define BIT1 0x00000002
#define BIT2 0x00000004
#define BIT3 0x00000008
#define BIT5 0x00000020
#define BIT22 0x00400000

// Spelt as assertion reports quote it: (B << 8), not ((B) << 8).
#define SIGNATURE_16(A, B) ((A) | (B << 8))
#define SIGNATURE_32(A, B, C, D) (SIGNATURE_16(A, B) | (SIGNATURE_16(C, D) << 16))
#define SIGNATURE_64(A, B, C, D, E, F, G, H)                                                                 \
  (SIGNATURE_32(A, B, C, D) | ((UINT64)(SIGNATURE_32(E, F, G, H)) << 32))

#define OFFSET_OF(TYPE, Field) ((UINTN) __builtin_offsetof(TYPE, Field))
#define ARRAY_SIZE(Array) (sizeof(Array) / sizeof((Array)[0]))

// The Microsoft x64 calling convention, on the host too, so that every call
// through a UEFI table or protocol crosses the same ABI as on hardware.
#define EFIAPI __attribute__((ms_abi))

// Variable argument lists in the Microsoft x64 form: a VA_LIST handed to a
// protocol member of another image must walk 8-byte slots.
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start(Marker, Parameter)
#define VA_ARG(Marker, TYPE)                                                                                 \
  ((sizeof(TYPE) < sizeof(UINTN)) ? (TYPE)(__builtin_va_arg(Marker, UINTN))                                  \
                                  : (TYPE) __builtin_va_arg(Marker, TYPE))
#define VA_END(Marker) __builtin_ms_va_end(Marker)
#define VA_COPY(Dest, Start) __builtin_ms_va_copy(Dest, Start)

// Status codes: errors have the top bit set, warnings do not.
typedef UINTN RETURN_STATUS;
#define ENCODE_ERROR(StatusCode) ((RETURN_STATUS)(MAX_BIT | (StatusCode)))
#define ENCODE_WARNING(StatusCode) ((RETURN_STATUS)(StatusCode))
#define RETURN_ERROR(StatusCode) (((INTN)(RETURN_STATUS)(StatusCode)) < 0)

#define RETURN_SUCCESS 0
#define RETURN_LOAD_ERROR ENCODE_ERROR(1)
#define RETURN_INVALID_PARAMETER ENCODE_ERROR(2)
#define RETURN_UNSUPPORTED ENCODE_ERROR(3)
#define RETURN_BAD_BUFFER_SIZE ENCODE_ERROR(4)
#define RETURN_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define RETURN_NOT_READY ENCODE_ERROR(6)
#define RETURN_DEVICE_ERROR ENCODE_ERROR(7)
#define RETURN_WRITE_PROTECTED ENCODE_ERROR(8)
#define RETURN_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define RETURN_VOLUME_CORRUPTED ENCODE_ERROR(10)
#define RETURN_VOLUME_FULL ENCODE_ERROR(11)
#define RETURN_NO_MEDIA ENCODE_ERROR(12)
#define RETURN_MEDIA_CHANGED ENCODE_ERROR(13)
#define RETURN_NOT_FOUND ENCODE_ERROR(14)
#define RETURN_ACCESS_DENIED ENCODE_ERROR(15)
#define RETURN_NO_RESPONSE ENCODE_ERROR(16)
#define RETURN_NO_MAPPING ENCODE_ERROR(17)
#define RETURN_TIMEOUT ENCODE_ERROR(18)
#define RETURN_NOT_STARTED ENCODE_ERROR(19)
#define RETURN_ALREADY_STARTED ENCODE_ERROR(20)
#define RETURN_ABORTED ENCODE_ERROR(21)
#define RETURN_ICMP_ERROR ENCODE_ERROR(22)
#define RETURN_TFTP_ERROR ENCODE_ERROR(23)
#define RETURN_PROTOCOL_ERROR ENCODE_ERROR(24)
#define RETURN_INCOMPATIBLE_VERSION ENCODE_ERROR(25)
#define RETURN_SECURITY_VIOLATION ENCODE_ERROR(26)
#define RETURN_CRC_ERROR ENCODE_ERROR(27)
#define RETURN_END_OF_MEDIA ENCODE_ERROR(28)
#define RETURN_END_OF_FILE ENCODE_ERROR(31)
#define RETURN_INVALID_LANGUAGE ENCODE_ERROR(32)
#define RETURN_COMPROMISED_DATA ENCODE_ERROR(33)

#define RETURN_WARN_UNKNOWN_GLYPH ENCODE_WARNING(1)
#define RETURN_WARN_DELETE_FAILURE ENCODE_WARNING(2)
#define RETURN_WARN_WRITE_FAILURE ENCODE_WARNING(3)
#define RETURN_WARN_BUFFER_TOO_SMALL ENCODE_WARNING(4)
#define RETURN_WARN_STALE_DATA ENCODE_WARNING(5)

// A GUID in the byte order of the UEFI specification.
typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16);

typedef UINT64 PHYSICAL_ADDRESS;

// Exported symbols of an image: only the host build, where an image is a
// shared object, needs to name what the loader looks up.
#if defined(KESH_HOST_IMAGE)
#define IMAGE_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define IMAGE_EXPORT extern "C"
#endif
