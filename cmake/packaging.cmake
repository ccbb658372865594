# Installation and packages.
#   cmake --install <build> [--prefix DIR]   bin/riravuvavu, bin/riravuvavu-plot,
#                                            share/man/man1/*.1 (not on Windows)
#   cpack --config <build>/CPackConfig.cmake a .deb on Linux, a .zip on Windows
include(GNUInstallDirs)

install(TARGETS riravuvavu riravuvavu-plot RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/riravuvavu.1 ${PROJECT_SOURCE_DIR}/docs/riravuvavu-plot.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME riravuvavu)
set(CPACK_PACKAGE_VENDOR "RiravUvavu developers")
set(CPACK_PACKAGE_CONTACT "RiravUvavu developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console benchmark monitor: throughput from a growing results file")
set(CPACK_PACKAGE_DESCRIPTION
    "RiravUvavu reads the results file that a benchmark keeps appending to, at a fixed\n\
interval, and estimates the benchmark's throughput in kpts/sec from the growth of\n\
the work recorded in it. It logs every estimate to benchcsv.log; riravuvavu-plot\n\
draws that log as an SVG chart.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
  # bin/riravuvavu.exe at the top of the archive's one folder
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
