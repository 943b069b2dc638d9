# SPDX-License-Identifier: BSD-2-Clause-Patent
# Cross build of the firmware images: clang for x86_64-unknown-windows (the
# UEFI ABI: PE/COFF, Microsoft x64 calls, LLP64), linked with lld-link.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
find_program(CMAKE_CXX_COMPILER NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
find_program(KESH_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(CMAKE_CXX_FLAGS_INIT "-ffreestanding -nostdlibinc")
