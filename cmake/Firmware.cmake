# SPDX-License-Identifier: BSD-2-Clause-Patent
# Firmware code: freestanding C++ built two ways from the same sources.
#  - host: static libraries (position-independent) linked into host images,
#    shared objects that the simulator loads one copy each, and into tests;
#  - UEFI (KESH_UEFI_IMAGE): object libraries linked by lld-link into PE32+.

set(KESH_FIRMWARE_INCLUDES
    ${PROJECT_SOURCE_DIR}/Edk2/Include
    ${PROJECT_SOURCE_DIR}/Include
    ${PROJECT_SOURCE_DIR}/HwAccess/Include)

set(KESH_FIRMWARE_FLAGS
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -fno-builtin -Wall -Wextra -Werror
    # Assertion reports name the source file; keep it relative to the tree.
    ${KESH_PREFIX_MAP})

if(KESH_UEFI_IMAGE)
  # Smallest code, optimised across the whole image at link time (objects
  # are LLVM bitcode that lld-link compiles together). Switches become
  # compare chains: shorter here than a jump table and the code to index it.
  list(APPEND KESH_FIRMWARE_FLAGS
       -target x86_64-unknown-windows -nostdlibinc -mno-red-zone -mno-stack-arg-probe -fshort-wchar
       -mno-sse -mno-mmx -mno-80387 -Oz -flto -fno-jump-tables)
else()
  list(APPEND KESH_FIRMWARE_FLAGS -nostdinc++ -fvisibility=hidden -funwind-tables)
  if(KESH_COVERAGE)
    # Counted in every image and test that links the code; matrix boots
    # run on threads, each with images of its own, tests may share one.
    list(APPEND KESH_FIRMWARE_FLAGS --coverage -fprofile-update=atomic)
  endif()
endif()

# add_firmware_library(Name sources...)
function(add_firmware_library name)
  if(KESH_UEFI_IMAGE)
    add_library(${name} OBJECT ${ARGN})
  else()
    add_library(${name} STATIC ${ARGN})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_definitions(${name} PUBLIC KESH_HOST_IMAGE=1)
  endif()
  target_include_directories(${name} PUBLIC ${KESH_FIRMWARE_INCLUDES} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${KESH_FIRMWARE_FLAGS})
  set_property(GLOBAL APPEND PROPERTY KESH_FIRMWARE_LIBRARIES ${name})
  if(NOT KESH_UEFI_IMAGE)
    # The twin the Edges images link: the same sources, settings and
    # include paths (those added to ${name} later too), every basic block
    # calling the image's __sanitizer_cov_trace_pc.
    add_library(${name}Edges STATIC ${ARGN})
    set_target_properties(${name}Edges PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_include_directories(${name}Edges PRIVATE $<TARGET_PROPERTY:${name},INCLUDE_DIRECTORIES>)
    target_compile_definitions(${name}Edges PRIVATE $<TARGET_PROPERTY:${name},COMPILE_DEFINITIONS>)
    target_compile_options(${name}Edges PRIVATE $<TARGET_PROPERTY:${name},COMPILE_OPTIONS>
                                                -fsanitize-coverage=trace-pc)
  endif()
endfunction()

# add_firmware_image(Name [APPLICATION] LIBS lib...)
# Host: a shared object exporting _ModuleEntryPoint and HwAccessSimBind, with
# its own copy of every library it links, and its twin NameEdges, linked from
# the libraries' Edges twins, which also exports HwAccessSimEdges: the code
# offsets each boot reached. UEFI: Name.efi, a boot-service driver.
function(add_firmware_image name)
  cmake_parse_arguments(IMG "APPLICATION" "" "LIBS" ${ARGN})
  set(subsystem efi_boot_service_driver)
  if(IMG_APPLICATION)
    set(subsystem efi_application)
  endif()
  if(KESH_UEFI_IMAGE)
    set(objects)
    foreach(lib IN LISTS IMG_LIBS ITEMS HwAccessX64 CompilerIntrinsics)
      list(APPEND objects $<TARGET_OBJECTS:${lib}>)
    endforeach()
    add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/${name}.efi
      # Read-only data shares the code section (both are read-only, so the
      # merged section stays read and execute); writable data keeps its own.
      # Sections start on 512-byte boundaries in the file.
      COMMAND ${KESH_LLD_LINK} /nologo /nodefaultlib /dll /subsystem:${subsystem}
              /entry:_ModuleEntryPoint /machine:x64 /opt:ref /opt:icf /debug:none
              /filealign:0x200 /merge:.rdata=.text /map:${CMAKE_BINARY_DIR}/${name}.map
              /out:${CMAKE_BINARY_DIR}/${name}.efi ${objects}
      BYPRODUCTS ${CMAKE_BINARY_DIR}/${name}.map
      DEPENDS ${IMG_LIBS} HwAccessX64 CompilerIntrinsics ${objects}
      COMMAND_EXPAND_LISTS
      COMMENT "Linking UEFI image ${name}.efi")
    add_custom_target(${name} ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.efi)
  else()
    kesh_host_image(${name} "${IMG_LIBS}" "")
    list(TRANSFORM IMG_LIBS APPEND Edges OUTPUT_VARIABLE edge_libs)
    # The glue itself stays uninstrumented: it is what the calls land in.
    kesh_host_image(${name}Edges "${edge_libs}" KESH_EDGE_TABLE=1)
  endif()
endfunction()

# kesh_host_image(Name libs definitions): one host shared object.
function(kesh_host_image name libs definitions)
  add_library(${name} MODULE ${PROJECT_SOURCE_DIR}/HwAccess/Sim/HwAccessSim.cpp)
  target_include_directories(${name} PRIVATE ${KESH_FIRMWARE_INCLUDES})
  target_compile_definitions(${name} PRIVATE KESH_HOST_IMAGE=1 ${definitions})
  target_compile_options(${name} PRIVATE ${KESH_FIRMWARE_FLAGS})
  # Linked statically: each image carries its own copy of every library
  # global, and -Bsymbolic keeps another image from interposing on it.
  target_link_libraries(${name} PRIVATE "$<LINK_GROUP:RESCAN,${libs}>")
  # The entry point is what the loader asks for, as /entry: is for lld-link.
  target_link_options(${name} PRIVATE -Wl,--undefined=_ModuleEntryPoint -Wl,-Bsymbolic)
  # clang links the sanitizer runtime into the program only; an image
  # finds it there when loaded. Otherwise nothing may stay unresolved.
  if(NOT (KESH_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endfunction()
