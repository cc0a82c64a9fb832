# The unit suite as a Windows program: GoogleTest built from Debian's
# sources (there is no MinGW build of it), and each test program run under
# Wine by cmake/RunUnderWine.cmake, which judges it by its own summary.
set(QAV_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QAV_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Debian keeps the loaders out of PATH; /usr/bin/wine is a wrapper that
# prefers the 32-bit one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(QAV_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
else()
  find_program(QAV_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
endif()
set(QAV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix used when WINEPREFIX is not set")

# qav_add_wine_test(TARGET [TEST_NAME...]): the named tests are left out.
function(qav_add_wine_test target)
  string(REPLACE ";" ":" left_out "${ARGN}")
  add_test(NAME ${target}_wine
    COMMAND ${CMAKE_COMMAND}
      -DWINE=${QAV_WINE}
      -DPROGRAM=$<TARGET_FILE:${target}>
      -DDEFAULT_PREFIX=${QAV_WINE_PREFIX}
      -DLEFT_OUT=${left_out}
      -P ${PROJECT_SOURCE_DIR}/cmake/RunUnderWine.cmake)
  # One Wine server per prefix: a fresh prefix must not be set up twice at once.
  set_tests_properties(${target}_wine PROPERTIES LABELS "unit;wine" RESOURCE_LOCK wineprefix
                                                 TIMEOUT 900)
endfunction()
