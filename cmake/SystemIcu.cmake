# ICU on macOS is the system's libicucore: ICU's C API, its symbols without a version suffix. The
# SDK holds only some of ICU's headers (none for case mapping, normalisation or IDNA), so the
# headers of another ICU serve, since the C API is stable: SIEVEHARBOR_ICU_HEADERS, a folder
# holding unicode/, or else the first found of Homebrew's, MacPorts' and the build machine's own
# (Debian's libicu-dev when cross-compiling). Their unicode/ folder is copied into the build tree,
# so that the folder it came from adds no other header to the search path.
#
# Defines ICU::uc, as find_package(ICU) would.

find_path(SIEVEHARBOR_ICU_HEADERS unicode/uidna.h
  PATHS /opt/homebrew/opt/icu4c/include /usr/local/opt/icu4c/include /opt/local/include
    /usr/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Folder holding ICU's unicode/ headers, compiled against macOS's libicucore")
if(NOT SIEVEHARBOR_ICU_HEADERS)
  message(FATAL_ERROR "ICU's headers were not found: install ICU's (brew install icu4c; on Debian "
    "libicu-dev) or give -DSIEVEHARBOR_ICU_HEADERS=<folder holding unicode/>")
endif()

set(_icu_copy "${CMAKE_BINARY_DIR}/icu-headers")
file(COPY "${SIEVEHARBOR_ICU_HEADERS}/unicode" DESTINATION "${_icu_copy}")

add_library(ICU::uc INTERFACE IMPORTED)
set_target_properties(ICU::uc PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_icu_copy}"
  # The system library's symbols carry no version suffix, so the headers must not add one.
  INTERFACE_COMPILE_DEFINITIONS "U_DISABLE_RENAMING=1"
  INTERFACE_LINK_LIBRARIES icucore)
