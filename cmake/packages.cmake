# Installing and packaging: `cmake --build BUILD --target package` makes a .deb in a Linux
# build and a .zip in a Windows build. A program joins the install and both packages with
# one line, isp2313_ship(NAME), once its target exists (and, off Windows, man/NAME.1).
include(GNUInstallDirs)

function(isp2313_ship name)
  if(WIN32)
    install(TARGETS ${name} RUNTIME DESTINATION .)
  else()
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/man/${name}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endfunction()

# The example's images, so that isp2313-sim can be tried straight from the package.
set(example_images
  ${PROJECT_SOURCE_DIR}/examples/blink/blink.hex ${PROJECT_SOURCE_DIR}/examples/blink/blink.eep
  ${PROJECT_SOURCE_DIR}/examples/blink/blink.flash.bin ${PROJECT_SOURCE_DIR}/examples/blink/blink.eeprom.bin)

if(WIN32)
  # Notepad and its kin want CR LF line ends.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  install(FILES ${example_images} DESTINATION examples)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${example_images} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Lets whoever may open an FTDI adapter's tty open its USB device too, for bit-bang.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-isp2313-ftdi.rules DESTINATION lib/udev/rules.d)
  find_program(ISP2313_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(ISP2313_DPKG_SHLIBDEPS)
    set(CPACK_GENERATOR DEB)
  else()
    # The programs' dependencies come from dpkg-shlibdeps; without it, a plain archive.
    isp2313_leave_out("the .deb package (no dpkg-shlibdeps)" dpkg-dev)
    set(CPACK_GENERATOR TGZ)
  endif()
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${PROJECT_NAME})
set(CPACK_PACKAGE_CONTACT "isp2313 maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-system programmer for the AT90S2313 and ATtiny2313 on a PC serial port")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The long description, below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "isp2313 drives a PC serial port's lines as the chip's serial programming
bus (break on TXD = SCK, DTR = MOSI, DSR = MISO, RTS = RESET), with no
microcontroller in the adapter. It reads raw binary and Intel HEX images.
isp2313-sim runs the same program on a virtual chip, without a port.")
include(CPack)
