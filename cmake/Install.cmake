# What `cmake --install` ships (and debian/ packages): the library, its
# header, a pkg-config file, a CMake package, the tool and its man page. The
# virtual key, tests, benchmarks and fuzz targets have no install rules on
# purpose. Directories come from GNUInstallDirs, so a distribution's build
# sets them (multiarch: CMAKE_INSTALL_LIBDIR=lib/<triplet>).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QAV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QAVSeal)

install(TARGETS qavseal EXPORT QAVSealTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qavseal/qavseal.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qavseal)

install(EXPORT QAVSealTargets NAMESPACE QAVSeal:: DESTINATION ${QAV_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QAVSealConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QAVSealConfig.cmake INSTALL_DESTINATION ${QAV_CMAKE_PACKAGE_DIR})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QAVSealConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QAVSealConfig.cmake ${PROJECT_BINARY_DIR}/QAVSealConfigVersion.cmake
  DESTINATION ${QAV_CMAKE_PACKAGE_DIR})

# The pkg-config file is written at install time so that its prefix is the one
# installed into (`cmake --install --prefix`, or /usr in the package).
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(CMAKE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/qavseal.pc.in ${PROJECT_BINARY_DIR}/qavseal.pc @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/qavseal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET qavseal_tool)
  # Installed outside the linker's own directories (/usr/local, a private
  # prefix), the tool finds the library relative to itself, so the tree stays
  # movable; in a system directory it carries no search path.
  set(implicit ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES})
  if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST implicit)
    file(RELATIVE_PATH libdir_from_bindir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(qavseal_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}")
  endif()
  install(TARGETS qavseal_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The man page comes from the tool's own --help, so it follows the tool.
  find_program(HELP2MAN help2man)
  if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT QAV_SANITIZE AND NOT QAV_SANITIZE_THREAD)
    set(man ${PROJECT_BINARY_DIR}/qavseal.1)
    add_custom_command(OUTPUT ${man}.gz
      COMMAND ${HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
              --name "inspect and drive electronic-seal keys"
              --include ${CMAKE_CURRENT_LIST_DIR}/qavseal.h2m
              --output ${man} $<TARGET_FILE:qavseal_tool>
      COMMAND gzip -9nf ${man}
      DEPENDS qavseal_tool ${CMAKE_CURRENT_LIST_DIR}/qavseal.h2m
      VERBATIM)
    add_custom_target(qavseal_man ALL DEPENDS ${man}.gz)
    install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man not found: the qavseal man page is not built")
  endif()
endif()
