# Man pages, the udev rule for the USB cable, and the Debian package
# (`cpack -G DEB` in a build folder). Included at the end of the top-level
# CMakeLists.txt, after every program's target is known.

# udev reads packages' rules from its own folder, which is not under the
# install prefix: /lib/udev on Debian 12, /usr/lib/udev on later releases;
# udev's pkg-config file says which. Empty leaves the rule out (an install
# into a folder of one's own, without root).
if(NOT DEFINED MIRTO_UDEV_RULES_DIR)
  set(udev_dir /lib/udev)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(udev_pc_dir udev udevdir)
    if(udev_pc_dir)
      set(udev_dir ${udev_pc_dir})
    endif()
  endif()
  set(MIRTO_UDEV_RULES_DIR ${udev_dir}/rules.d CACHE STRING
    "Where the udev rule for the USB cable is installed; empty for none")
endif()
if(MIRTO_UDEV_RULES_DIR)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/70-mirto-usb.rules DESTINATION ${MIRTO_UDEV_RULES_DIR})
  set(MIRTO_UDEV_RULE ${MIRTO_UDEV_RULES_DIR}/70-mirto-usb.rules)
else()
  # Where an administrator puts it by hand; the man page names it.
  set(MIRTO_UDEV_RULE /etc/udev/rules.d/70-mirto-usb.rules)
endif()
# In a man page a plain '-' may print as a hyphen, which a path copied from
# the page must not hold.
string(REPLACE "-" "\\-" MIRTO_UDEV_RULE_ROFF ${MIRTO_UDEV_RULE})

# Every program the package may hold. Each one whose target exists gets its
# man page, packaging/man/<program>.1.in; the package test checks that each
# of them is installed with its page.
set(MIRTO_PROGRAMS mirto-terminal mirto-sim mirto-cli)

# Where the package's documents go; mirto-cli's page names its JSON Schema there.
set(MIRTO_DOC_DIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/mirto-terminal)
string(REPLACE "-" "\\-" MIRTO_DOC_DIR ${MIRTO_DOC_DIR})

set(MIRTO_PACKAGED_PROGRAMS)
set(man_pages)
foreach(program IN LISTS MIRTO_PROGRAMS)
  if(NOT TARGET ${program})
    continue()
  endif()
  list(APPEND MIRTO_PACKAGED_PROGRAMS ${program})
  set(source ${CMAKE_CURRENT_LIST_DIR}/man/${program}.1.in)
  if(NOT EXISTS ${source})
    message(WARNING "No man page for ${program}: write ${source}")
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  configure_file(${source} ${page} @ONLY)
  # Debian installs man pages compressed; -n keeps the archive free of the
  # build's time stamp, so that rebuilding gives the same package.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9 -n -c ${page} > ${page}.gz
    DEPENDS ${page}
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
add_custom_target(man-pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian wants a copyright file and, for a package that is its own upstream,
# the changelog as changelog.gz beside it.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/mirto-terminal)
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${changelog}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${changelog} DESTINATION ${doc_dir})
# What scripts and job engines read: the JSON Schema of mirto-cli's --json
# objects and journal lines, and the examples for CI jobs and Ansible.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/mirto-cli.schema.json DESTINATION ${doc_dir})
install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/examples/ DESTINATION ${doc_dir}/examples)

set(CPACK_PACKAGE_NAME mirto-terminal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Mirto Terminal developers <mirto-terminal@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service tool for Mirto network audio-stream receivers")
# Lines of a package description stay within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
  "Talks to a Mirto over a serial cable, the USB cable or TCP: a terminal
that shows everything the device sends, direct commands for experts,
device identification, the configuration editor, firmware update and
test console. Includes the device simulator mirto-sim and a udev rule
that gives the USB cable to the user logged in at the machine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window icon and the About picture are SVG, which Qt draws through a
# plugin that no library of ours links.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libqt6svg6)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# Builds the package from this build folder's programs and checks what it
# installs. A sanitized build is never shipped, so only the plain build runs it.
if(NOT MIRTO_SANITIZE)
  add_test(NAME package
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/test-package.sh ${CMAKE_BINARY_DIR} ${MIRTO_PACKAGED_PROGRAMS})
  set_tests_properties(package PROPERTIES
    ENVIRONMENT "CPACK=${CMAKE_CPACK_COMMAND}"
    SKIP_RETURN_CODE 77
    TIMEOUT 300)
endif()
