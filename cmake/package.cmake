# What cmake --install adds to the program, and the Debian package.
#
# `cmake --build build --target package` makes firmware-utility_<version>_<arch>.deb with
# CPack's DEB generator: the install rules are the one list of what goes where, and
# dpkg-shlibdeps computes the library dependencies. The package is a `DESTDIR` install into
# /usr, so it holds exactly what `cmake --install build --prefix /usr` installs.
set(FWU_PACKAGE_CONTACT "Firmware Utility maintainers <firmware-utility@example.org>"
    CACHE STRING "The Debian package's maintainer")

# The manual page and the package's changelog, compressed as Debian wants them; made again
# when the page changes.
set(FWU_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${FWU_PACKAGE_STAGE})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/firmware-utility.1)
execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/doc/firmware-utility.1
                OUTPUT_FILE ${FWU_PACKAGE_STAGE}/firmware-utility.1.gz COMMAND_ERROR_IS_FATAL ANY)
string(TIMESTAMP FWU_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/changelog.in ${FWU_PACKAGE_STAGE}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${FWU_PACKAGE_STAGE}/changelog COMMAND_ERROR_IS_FATAL ANY)
file(MAKE_DIRECTORY ${FWU_PACKAGE_STAGE}/trusted-keys)

install(FILES ${FWU_PACKAGE_STAGE}/firmware-utility.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${FWU_PACKAGE_STAGE}/changelog.gz cmake/package/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/firmware-utility)

# The labgrid driver goes where the system's python3 imports it and the trusted keys'
# directory is the system's: both follow the prefix given at install time. Into /usr (the
# package): /usr/lib/python3/dist-packages and /etc/firmware-utility/trusted-keys/, made empty.
# Elsewhere: PREFIX/lib/python3.X/dist-packages (read by Debian's python3 for /usr/local) and no
# keys' directory, which the program reads only under /etc.
find_package(Python3 COMPONENTS Interpreter QUIET)
set(FWU_PYTHON_LOCAL_DIR lib/python3/dist-packages)
if(Python3_FOUND)
  set(FWU_PYTHON_LOCAL_DIR lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
endif()
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(INSTALL DESTINATION /etc/firmware-utility TYPE DIRECTORY FILES ${FWU_PACKAGE_STAGE}/trusted-keys)
  endif()")
install(CODE "
  set(python_dir \"\${CMAKE_INSTALL_PREFIX}/${FWU_PYTHON_LOCAL_DIR}\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(python_dir /usr/lib/python3/dist-packages)
  endif()
  file(INSTALL DESTINATION \${python_dir} TYPE DIRECTORY
       FILES ${CMAKE_SOURCE_DIR}/integrations/labgrid/firmware_utility_labgrid PATTERN __pycache__ EXCLUDE)"
  COMPONENT labgrid)
install(FILES ${FWU_PACKAGE_STAGE}/changelog.gz cmake/package/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-firmware-utility-labgrid COMPONENT labgrid)

# Two packages: the program (component `program`, everything not named otherwise) and the
# labgrid driver, for the hosts that run labgrid, with Python and labgrid as its dependencies.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program labgrid)
set(CPACK_PACKAGE_NAME firmware-utility)
set(CPACK_PACKAGE_CONTACT ${FWU_PACKAGE_CONTACT})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME firmware-utility)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SUGGESTS python3-firmware-utility-labgrid)
string(CONCAT CPACK_DEBIAN_PROGRAM_DESCRIPTION
  "update, bridge and control a handset's GSM/GPRS radio module\n"
  "A maintenance tool for the GSM/GPRS radio module of a phone handset: it\n"
  "updates the module's firmware over its serial line, bridges raw bytes\n"
  "between the module's serial port and a peer port, and controls the radio\n"
  "driver and the handset's reboot, in a terminal window or headless. It\n"
  "carries a simulated handset to try it on, and example adapters and a udev\n"
  "rule for lab boards.")
set(CPACK_DEBIAN_LABGRID_PACKAGE_NAME python3-firmware-utility-labgrid)
set(CPACK_DEBIAN_LABGRID_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_LABGRID_PACKAGE_SECTION python)
set(CPACK_DEBIAN_LABGRID_PACKAGE_DEPENDS
    "python3:any, python3-labgrid, firmware-utility (= ${PROJECT_VERSION})")
string(CONCAT CPACK_DEBIAN_LABGRID_DESCRIPTION
  "labgrid driver for firmware-utility\n"
  "FirmwareUtilityDriver, in the Python package firmware_utility_labgrid,\n"
  "flashes a handset's radio module through a serial resource of a labgrid\n"
  "place (local, USB or exported over the network) with firmware-utility\n"
  "update and returns the run's outcome and record.")
set(CPACK_STRIP_FILES ON)
# The package is the install into /usr, staged under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
