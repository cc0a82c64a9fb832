# What `cmake --install` and `cpack -G DEB` ship: the library, its header, a
# pkg-config file, a CMake package, the tool and its man page. The virtual
# key, tests, benchmarks and fuzz targets have no install rules on purpose.
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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qavseal)
set(CPACK_PACKAGE_VENDOR QAVSeal)
set(CPACK_PACKAGE_CONTACT "QAVSeal developers <qavseal@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "middleware for electronic-seal smart-card keys")
set(CPACK_PACKAGE_DESCRIPTION
  "libqavseal finds electronic-seal keys through the PC/SC service and runs
card operations on them through a flat C interface. The package also holds
its header, pkg-config and CMake files, and the qavseal command-line tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Without the service the library finds no keys, but it loads and links.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pcscd)
include(CPack)
