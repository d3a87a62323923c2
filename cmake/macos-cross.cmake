# Toolchain: macOS, cross-compiled on Linux with Debian's clang and lld (ld64.lld) against the
# macOS SDK, for arm64 and x86_64 together (universal objects and archives), macOS 11 and later.
# Debian packages clang, lld and llvm. On a Mac none of this is needed: the project builds with
# Apple's own toolchain and no toolchain file.
#
#   cmake --preset macos-core
#
# The SDK is SIEVEHARBOR_MACOS_SDK when given; otherwise the archive SIEVEHARBOR_MACOS_SDK_ARCHIVE
# (by default the environment's SIEVEHARBOR_MACOS_SDK_ARCHIVE, or else
# ../shared/macos-sdk/MacOSX12.0.sdk.tar.xz beside the source tree) is unpacked into the build tree
# the first time. Nothing built this way can run here: it is checked by reading and linking the
# Mach-O files (scripts/check_portable_core.sh).

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "Oldest macOS the build runs on")
set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "Architectures built, together")

# Programs from the host; headers, libraries and packages from the SDK alone, so nothing of
# Linux's /usr/include or /usr/lib is picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian names LLVM's tools with the version (llvm-lipo-14) where the llvm package gives no
# unversioned link, and keeps them all unversioned in /usr/lib/llvm-<version>/bin.
file(GLOB _llvm_dirs LIST_DIRECTORIES true /usr/lib/llvm-*/bin)
list(SORT _llvm_dirs COMPARE NATURAL ORDER DESCENDING)
function(sieveharbor_find_tool variable name)
  find_program(${variable} NAMES ${name} PATHS ${_llvm_dirs} NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${variable})
    message(FATAL_ERROR "macos-cross: ${name} not found; install Debian's clang, lld and llvm")
  endif()
endfunction()
sieveharbor_find_tool(SIEVEHARBOR_CLANG clang)
sieveharbor_find_tool(SIEVEHARBOR_CLANGXX clang++)
sieveharbor_find_tool(SIEVEHARBOR_LD64_LLD ld64.lld)  # found by the driver itself; checked here
sieveharbor_find_tool(SIEVEHARBOR_LLVM_AR llvm-ar)
sieveharbor_find_tool(SIEVEHARBOR_LLVM_RANLIB llvm-ranlib)
sieveharbor_find_tool(SIEVEHARBOR_LLVM_LIPO llvm-lipo)
sieveharbor_find_tool(SIEVEHARBOR_LLVM_LIBTOOL_DARWIN llvm-libtool-darwin)
sieveharbor_find_tool(SIEVEHARBOR_LLVM_INSTALL_NAME_TOOL llvm-install-name-tool)
sieveharbor_find_tool(SIEVEHARBOR_LLVM_OTOOL llvm-otool)

set(CMAKE_C_COMPILER ${SIEVEHARBOR_CLANG})
set(CMAKE_CXX_COMPILER ${SIEVEHARBOR_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${SIEVEHARBOR_CLANGXX})
# The driver takes macOS from the target; each -arch of CMAKE_OSX_ARCHITECTURES then replaces its
# architecture, and the deployment target its version.
foreach(_lang IN ITEMS C CXX OBJCXX)
  set(CMAKE_${_lang}_COMPILER_TARGET x86_64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
endforeach()
set(CMAKE_AR ${SIEVEHARBOR_LLVM_AR} CACHE FILEPATH "")
set(CMAKE_RANLIB ${SIEVEHARBOR_LLVM_RANLIB} CACHE FILEPATH "")
# Asked for by CMake once Objective-C++ is enabled (executables, bundles).
set(CMAKE_INSTALL_NAME_TOOL ${SIEVEHARBOR_LLVM_INSTALL_NAME_TOOL} CACHE FILEPATH "")
set(CMAKE_OTOOL ${SIEVEHARBOR_LLVM_OTOOL} CACHE FILEPATH "")

# The first time, in the project itself: the SDK unpacked into the build tree, and a folder of
# tools for the driver. Builds CMake makes to try the compiler get both from here.
set(SIEVEHARBOR_MACOS_SDK "" CACHE PATH "Unpacked macOS SDK (empty: unpack the archive)")
if(DEFINED ENV{SIEVEHARBOR_MACOS_SDK_ARCHIVE})
  set(_archive "$ENV{SIEVEHARBOR_MACOS_SDK_ARCHIVE}")
else()
  get_filename_component(_archive
    "${CMAKE_CURRENT_LIST_DIR}/../../shared/macos-sdk/MacOSX12.0.sdk.tar.xz" ABSOLUTE)
endif()
set(SIEVEHARBOR_MACOS_SDK_ARCHIVE "${_archive}"
  CACHE FILEPATH "macOS SDK archive, unpacked into the build tree when SIEVEHARBOR_MACOS_SDK is empty")
if(NOT SIEVEHARBOR_MACOS_SDK)
  get_filename_component(_archive "${SIEVEHARBOR_MACOS_SDK_ARCHIVE}" ABSOLUTE)
  get_filename_component(_name "${_archive}" NAME)
  string(REGEX REPLACE "\\.tar\\.[a-z0-9]+$" "" _name "${_name}")
  set(_sdk "${CMAKE_BINARY_DIR}/${_name}")
  if(NOT EXISTS "${_sdk}/SDKSettings.json")
    if(NOT EXISTS "${_archive}")
      message(FATAL_ERROR "macos-cross: no macOS SDK: give SIEVEHARBOR_MACOS_SDK (a folder) or "
        "SIEVEHARBOR_MACOS_SDK_ARCHIVE (${_archive} does not exist)")
    endif()
    message(STATUS "Unpacking ${_archive} into ${CMAKE_BINARY_DIR}")
    # Unpacked aside and then moved: an unpacking cut short is never taken for an SDK.
    file(REMOVE_RECURSE "${CMAKE_BINARY_DIR}/sdk-unpacking")
    file(ARCHIVE_EXTRACT INPUT "${_archive}" DESTINATION "${CMAKE_BINARY_DIR}/sdk-unpacking")
    file(REMOVE_RECURSE "${_sdk}")
    file(RENAME "${CMAKE_BINARY_DIR}/sdk-unpacking/${_name}" "${_sdk}")
    file(REMOVE_RECURSE "${CMAKE_BINARY_DIR}/sdk-unpacking")
  endif()
  set(SIEVEHARBOR_MACOS_SDK "${_sdk}")
elseif(NOT EXISTS "${SIEVEHARBOR_MACOS_SDK}/SDKSettings.json")
  message(FATAL_ERROR "macos-cross: ${SIEVEHARBOR_MACOS_SDK} is not a macOS SDK (no SDKSettings.json)")
endif()
if(NOT SIEVEHARBOR_MACOS_TOOLS)
  # Given several -arch, the driver builds each and joins them with "lipo", a name Debian does
  # not install: llvm-lipo under it, in a folder the driver searches first (-B).
  set(SIEVEHARBOR_MACOS_TOOLS "${CMAKE_BINARY_DIR}/macos-tools")
  file(MAKE_DIRECTORY "${SIEVEHARBOR_MACOS_TOOLS}")
  file(CREATE_LINK "${SIEVEHARBOR_LLVM_LIPO}" "${SIEVEHARBOR_MACOS_TOOLS}/lipo" SYMBOLIC)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SIEVEHARBOR_MACOS_SDK SIEVEHARBOR_MACOS_TOOLS)
set(CMAKE_OSX_SYSROOT "${SIEVEHARBOR_MACOS_SDK}" CACHE PATH "macOS SDK" FORCE)

set(_flags "-stdlib=libc++ -B${SIEVEHARBOR_MACOS_TOOLS}")
foreach(_lang IN ITEMS C CXX OBJCXX)
  set(CMAKE_${_lang}_FLAGS_INIT "${_flags}")
endforeach()
foreach(_kind IN ITEMS EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "${_flags} -fuse-ld=lld")
endforeach()

# Archives of universal objects are made by llvm-libtool-darwin, which writes one archive per
# architecture inside a universal file, as Apple's libtool does; ar would write an archive of
# universal members, which linkers refuse.
foreach(_lang IN ITEMS C CXX OBJCXX)
  set(CMAKE_${_lang}_CREATE_STATIC_LIBRARY
    "${SIEVEHARBOR_LLVM_LIBTOOL_DARWIN} -static -no_warning_for_no_symbols -o <TARGET> <OBJECTS>")
endforeach()
