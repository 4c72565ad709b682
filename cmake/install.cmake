# Install rules, man pages and the Debian package.
#
#   cmake --install build --prefix /usr/local      programs, entries, icons, man pages, units
#   cpack --config build/CPackConfig.cmake -B build/package   kvr-probe_<version>_<arch>.deb

set(_kvr_programs marten otter heron osprey)
set(_kvr_installed)
foreach(p ${_kvr_programs})
  if(TARGET ${p})
    list(APPEND _kvr_installed ${p})
  endif()
endforeach()
if(TARGET kvr-sim)
  list(APPEND _kvr_installed kvr-sim)
endif()
install(TARGETS ${_kvr_installed} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(p ${_kvr_programs})
  if(TARGET ${p} AND EXISTS ${CMAKE_SOURCE_DIR}/dist/desktop/kvr-${p}.desktop)
    install(FILES ${CMAKE_SOURCE_DIR}/dist/desktop/kvr-${p}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  endif()
  if(TARGET ${p} AND EXISTS ${CMAKE_SOURCE_DIR}/dist/icons/kvr-${p}.svg)
    install(FILES ${CMAKE_SOURCE_DIR}/dist/icons/kvr-${p}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  endif()
endforeach()

# systemd user units: Marten's daily download (service + timer) and a
# resident Otter. They name the programs without a folder: systemd finds
# them in /usr/local/bin or /usr/bin, whichever prefix was installed.
foreach(u marten.service marten.timer otter.service)
  install(FILES ${CMAKE_SOURCE_DIR}/dist/systemd/${u} DESTINATION lib/systemd/user)
endforeach()

# Man pages from each program's --help and --version (Debian's help2man).
# Not when cross-compiling: the programs must run on the build machine.
find_program(KVR_HELP2MAN help2man)
if(KVR_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(_kvr_man_marten "download the readings of a KVR Probe Server or logger over a serial port")
  set(_kvr_man_otter "download the readings of an NVA4-SVR logger over a serial port")
  set(_kvr_man_heron "fetch probe readings from the KVR web data service")
  set(_kvr_man_osprey "view the probe data files")
  set(_kvr_man_kvr-sim "simulated KVR probe servers, loggers, modems and web data service")
  set(_kvr_pages)
  foreach(p ${_kvr_installed})
    set(_page ${CMAKE_BINARY_DIR}/man/${p}.1)
    add_custom_command(OUTPUT ${_page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
              ${KVR_HELP2MAN} --no-info --no-discard-stderr "--name=${_kvr_man_${p}}"
              --output=${_page} $<TARGET_FILE:${p}>
      DEPENDS ${p}
      COMMENT "Man page ${p}.1"
      VERBATIM)
    list(APPEND _kvr_pages ${_page})
  endforeach()
  add_custom_target(man ALL DEPENDS ${_kvr_pages})
  install(FILES ${_kvr_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found or cross-compiling: no man pages")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvr-probe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "KVR Probe maintainers <kvr-probe@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
