# The Windows build: agewarden.exe, its unit tests, the MSI and the zip.
# Included by the top-level CMakeLists.txt when cross-building with
# cmake/mingw-w64-x86_64.cmake. The exe links statically (the C++ runtime and
# winpthreads inside), so only system DLLs sit beside it.

set(AGEWARDEN_STATIC_LINK -static -static-libgcc -static-libstdc++)

# GCC 12 warns of an overlapping memcpy inside std::string's operator+ when
# it inlines it at -O2 (GCC bug 105329, a false positive).
add_compile_options(-Wno-restrict)

# UTF-16 text at the edges, and the Windows directory.
target_sources(agewarden_core PRIVATE src/common/utf16.cpp)
target_compile_definitions(agewarden_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# What main_windows.cpp hands the run: standard output, the environment and
# the directory over Wldap32, shared with the tests.
add_library(agewarden_windows STATIC
  src/cli/output_windows.cpp
  src/cli/environment_windows.cpp
)
target_link_libraries(agewarden_windows PUBLIC agewarden_ldap wldap32 netapi32 secur32)

# The connection binds as the logged-on user. Wine cannot do that bind, so
# for tests under Wine a second exe, agewarden-wine.exe, binds with the
# identity its environment names (AGEWARDEN_TEST_USER, _DOMAIN, _PASSWORD):
# the two differ in that one credential argument of the bind. Only
# agewarden.exe is shipped.
add_library(agewarden_connection OBJECT src/directory/platform/connection_windows.cpp)
target_link_libraries(agewarden_connection PRIVATE agewarden_core)

add_executable(agewarden src/cli/main_windows.cpp $<TARGET_OBJECTS:agewarden_connection>)
target_link_libraries(agewarden PRIVATE agewarden_windows)
# Stripped in a Release build: the shipped exe carries no symbols.
target_link_options(agewarden PRIVATE -municode ${AGEWARDEN_STATIC_LINK} $<$<CONFIG:Release>:-s>)

# Unit tests: the same suite as on Linux, the backend over the in-memory
# server included, plus the tests of the Windows pieces. GoogleTest is built
# from Debian's sources (package googletest) with the same compiler.
option(AGEWARDEN_TESTS "Build the tests" ON)
set(AGEWARDEN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
if(AGEWARDEN_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${AGEWARDEN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/*.cpp)
  file(GLOB WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*_test.cpp)
  add_executable(agewarden_unit_tests ${UNIT_TEST_SOURCES} ${WINDOWS_TEST_SOURCES}
                 ${PROJECT_SOURCE_DIR}/tests/fake_server.cpp ${PROJECT_SOURCE_DIR}/tests/run_harness.cpp $<TARGET_OBJECTS:agewarden_connection>)
  target_include_directories(agewarden_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # The suite sets TZ with setenv and tzset, which the Windows C runtime
  # spells differently.
  target_compile_options(agewarden_unit_tests PRIVATE -include ${PROJECT_SOURCE_DIR}/tests/windows/posix_compat.h)
  target_link_libraries(agewarden_unit_tests PRIVATE agewarden_windows gtest gtest_main)
  target_link_options(agewarden_unit_tests PRIVATE ${AGEWARDEN_STATIC_LINK})

endif()

# For the tests under Wine against the lab DC (off by default):
# agewarden-wine.exe and the backend's own lab test, both binding with the
# identity from the environment.
option(AGEWARDEN_WINE_TESTS "Build agewarden-wine.exe and the lab test for Wine" OFF)
if(AGEWARDEN_TESTS AND AGEWARDEN_WINE_TESTS)
  add_library(agewarden_connection_wine OBJECT src/directory/platform/connection_windows.cpp)
  target_link_libraries(agewarden_connection_wine PRIVATE agewarden_core)
  target_compile_definitions(agewarden_connection_wine PRIVATE AGEWARDEN_TEST_IDENTITY)
  add_executable(agewarden-wine src/cli/main_windows.cpp $<TARGET_OBJECTS:agewarden_connection_wine>)
  target_link_libraries(agewarden-wine PRIVATE agewarden_windows)
  target_link_options(agewarden-wine PRIVATE -municode ${AGEWARDEN_STATIC_LINK})
  add_executable(agewarden_wine_lab_tests ${PROJECT_SOURCE_DIR}/tests/lab/ldap_backend_test.cpp
                 $<TARGET_OBJECTS:agewarden_connection_wine>)
  target_include_directories(agewarden_wine_lab_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(agewarden_wine_lab_tests PRIVATE agewarden_windows gtest gtest_main)
  target_link_options(agewarden_wine_lab_tests PRIVATE ${AGEWARDEN_STATIC_LINK})
endif()

# Packages: agewarden-<version>-x64.msi (wixl, then the PATH rows that wixl
# cannot express added with msibuild) and agewarden-<version>-x64.zip (the
# exe, LICENSE and the manual as plain text).
set(PACKAGE_BASE agewarden-${PROJECT_VERSION}-x64)
set(PACKAGE_MSI ${CMAKE_BINARY_DIR}/${PACKAGE_BASE}.msi)
set(PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${PACKAGE_BASE}.zip)
set(PACKAGE_MANUAL ${CMAKE_BINARY_DIR}/agewarden.txt)
set(PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/windows)

add_custom_command(OUTPUT ${PACKAGE_MANUAL}
  COMMAND bash ${PACKAGING_DIR}/manual-text ${PROJECT_SOURCE_DIR}/doc/agewarden.1 ${PACKAGE_MANUAL}
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/agewarden.1 ${PACKAGING_DIR}/manual-text VERBATIM)

add_custom_command(OUTPUT ${PACKAGE_MSI}
  COMMAND bash ${PACKAGING_DIR}/build-msi ${PACKAGING_DIR}/agewarden.wxs $<TARGET_FILE:agewarden>
          ${PROJECT_VERSION} ${PACKAGE_MSI}
  DEPENDS agewarden ${PACKAGING_DIR}/agewarden.wxs ${PACKAGING_DIR}/build-msi ${PACKAGING_DIR}/Environment.idt
  VERBATIM)
add_custom_target(msi DEPENDS ${PACKAGE_MSI})

add_custom_command(OUTPUT ${PACKAGE_ZIP}
  COMMAND bash ${PACKAGING_DIR}/build-zip $<TARGET_FILE:agewarden> ${PROJECT_SOURCE_DIR}/LICENSE ${PACKAGE_MANUAL}
          ${PACKAGE_ZIP}
  DEPENDS agewarden ${PACKAGE_MANUAL} ${PROJECT_SOURCE_DIR}/LICENSE ${PACKAGING_DIR}/build-zip VERBATIM)
add_custom_target(zip DEPENDS ${PACKAGE_ZIP})
