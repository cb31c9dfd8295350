# The Debian package (scripts/package deb): the three programs, the window's desktop entry and
# icon, manual pages made from the programs' own --help, and the files Debian asks every package
# for. `cpack -G DEB` in a build tree makes firmware-loader_<version>_<arch>.deb.
include(GNUInstallDirs)

set(FWL_MAINTAINER "The Firmware Loader developers <firmware-loader@example.com>"
    CACHE STRING "Maintainer field of the Debian package")

# The description names the carried firmware by its digest, so that the package says which
# firmware it writes without being installed.
if(NOT DEFINED FWL_FIRMWARE)
  set(FWL_FIRMWARE ${PROJECT_SOURCE_DIR}/resources/firmware.hex)
endif()
file(SHA256 ${FWL_FIRMWARE} fwl_firmware_sha256)
string(SUBSTRING ${fwl_firmware_sha256} 0 12 fwl_firmware_digest)
# A new firmware file configures again, so that the description follows it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FWL_FIRMWARE})

# Debian wants 0755 directories whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(fwl_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(fwl_generated ${PROJECT_BINARY_DIR}/packaging)
set(fwl_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/firmware-loader)
set(fwl_mandir ${CMAKE_INSTALL_MANDIR}/man1)
file(MAKE_DIRECTORY ${fwl_generated})

install(TARGETS fwloader converter-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET firmware-loader)
  install(TARGETS firmware-loader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${fwl_packaging}/firmware-loader.desktop
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${fwl_packaging}/firmware-loader.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
  # The window has no --help to make its page from; its page is written by hand.
  configure_file(${fwl_packaging}/firmware-loader.1.in ${fwl_generated}/firmware-loader.1 @ONLY)
  set(fwl_window_page ${fwl_generated}/firmware-loader.1.gz)
  add_custom_command(OUTPUT ${fwl_window_page}
    COMMAND gzip -9nkf firmware-loader.1
    DEPENDS ${fwl_generated}/firmware-loader.1
    WORKING_DIRECTORY ${fwl_generated}
    VERBATIM)
endif()

# Manual pages from the programs' --help, so that they never disagree with the programs.
# gzip -n leaves out name and time, so that the same help makes the same file.
find_program(FWL_HELP2MAN help2man REQUIRED)
set(fwl_pages ${fwl_window_page})
foreach(page "fwloader|write the converter's firmware over a serial line"
             "converter-sim|simulated converter on a pseudo-terminal, to try updates without a device")
  string(REPLACE "|" ";" page "${page}")
  list(GET page 0 program)
  list(GET page 1 name)
  add_custom_command(OUTPUT ${fwl_generated}/${program}.1.gz
    COMMAND ${FWL_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --section=1
            --name=${name} --output=${program}.1 $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${program}.1
    DEPENDS ${program}
    WORKING_DIRECTORY ${fwl_generated}
    VERBATIM)
  list(APPEND fwl_pages ${fwl_generated}/${program}.1.gz)
endforeach()

# A native package carries a changelog; this one names the version and nothing more.
# string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set, which keeps the package reproducible.
string(TIMESTAMP fwl_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${fwl_generated}/changelog CONTENT
"firmware-loader (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${FWL_MAINTAINER}  ${fwl_changelog_date}
")
add_custom_command(OUTPUT ${fwl_generated}/changelog.gz
  COMMAND gzip -9nkf changelog
  DEPENDS ${fwl_generated}/changelog
  WORKING_DIRECTORY ${fwl_generated}
  VERBATIM)
add_custom_target(fwl_package_docs ALL DEPENDS ${fwl_pages} ${fwl_generated}/changelog.gz)

install(FILES ${fwl_pages} DESTINATION ${fwl_mandir})
install(FILES ${fwl_packaging}/copyright ${fwl_generated}/changelog.gz DESTINATION ${fwl_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME firmware-loader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Firmware Loader developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes firmware into the MSP430 converter over a serial line")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Firmware Loader identifies the converter over Modbus RTU, starts its boot
loader, erases, writes and verifies the flash, starts the new application
and keeps a download record in the converter.

The package holds the window (firmware-loader), the command line for service
benches and scripts (fwloader) and a simulated converter on a pseudo-terminal
(converter-sim), to try an update or to train without a device.

Carries the converter firmware with SHA-256 ${fwl_firmware_digest}...")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FWL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps works the dependencies out from the programs' libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
