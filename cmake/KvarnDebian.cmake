# The Debian packages, built with `cpack -G DEB` from a build configured with
# -DKVARN_DEBIAN=ON -DCMAKE_INSTALL_PREFIX=/usr (scripts/release does this):
#
#   libkvarn-rcvr1     the runtime component: libKvarn_Rcvr.so.1
#   libkvarn-rcvr-dev  the development component: the .so link, header,
#                      CMake package, kvarn_rcvr.pc, docs, examples, bindings
#   kvarn-rcvr-tools   the tools component: kvarn-sim, kvarn-monitor and
#                      their manual pages (generated from --help)
#
# Debian wants each package's copyright and changelog in its own
# /usr/share/doc/<package>; the docs go with the -dev package.
set(KVARN_DEB_RUNTIME libkvarn-rcvr${PROJECT_VERSION_MAJOR})
set(KVARN_DEB_DEVELOPMENT libkvarn-rcvr-dev)
set(KVARN_DEB_TOOLS kvarn-rcvr-tools)
set(KVARN_DEB_REVISION 1)
set(KVARN_DEB_VERSION ${PROJECT_VERSION}-${KVARN_DEB_REVISION})
set(KVARN_DEB_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(KVARN_DEB_STAGE ${CMAKE_BINARY_DIR}/debian)
set(CMAKE_INSTALL_DOCDIR share/doc/${KVARN_DEB_DEVELOPMENT})

# A version bump needs a changelog entry first.
file(STRINGS ${KVARN_DEB_SOURCE}/changelog KVARN_DEB_TOP LIMIT_COUNT 1)
if(NOT KVARN_DEB_TOP MATCHES "^kvarn-rcvr \\(${KVARN_DEB_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the top entry is not ${KVARN_DEB_VERSION}: ${KVARN_DEB_TOP}")
endif()

# Compressed as Debian asks: gzip -9, no name or time stamp inside.
function(kvarn_gzip in out)
  execute_process(COMMAND gzip -9nc INPUT_FILE ${in} OUTPUT_FILE ${out} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
file(MAKE_DIRECTORY ${KVARN_DEB_STAGE})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KVARN_DEB_SOURCE}/changelog)
kvarn_gzip(${KVARN_DEB_SOURCE}/changelog ${KVARN_DEB_STAGE}/changelog.Debian.gz)
# Each lintian override file says why its tag does not apply.
file(READ ${KVARN_DEB_SOURCE}/lintian-overrides.in KVARN_DEB_OVERRIDES)
file(READ ${KVARN_DEB_SOURCE}/lintian-overrides-runtime.in KVARN_DEB_RUNTIME_OVERRIDES)
foreach(component runtime development tools)
  string(TOUPPER ${component} upper)
  set(package ${KVARN_DEB_${upper}})
  install(FILES ${KVARN_DEB_SOURCE}/copyright ${KVARN_DEB_STAGE}/changelog.Debian.gz
    DESTINATION share/doc/${package} COMPONENT ${component})
  set(overrides "${KVARN_DEB_OVERRIDES}")
  if(component STREQUAL "runtime")
    string(APPEND overrides "${KVARN_DEB_RUNTIME_OVERRIDES}")
  endif()
  file(WRITE ${KVARN_DEB_STAGE}/${package}.overrides "${overrides}")
  install(FILES ${KVARN_DEB_STAGE}/${package}.overrides DESTINATION share/lintian/overrides
    RENAME ${package} COMPONENT ${component})
endforeach()

# Manual pages from the tools' --help.
find_program(KVARN_HELP2MAN help2man REQUIRED)
set(KVARN_MAN_PAGES "")
foreach(tool_name "kvarn-sim:play an alarm receiver on a serial line or a pseudo-terminal"
                  "kvarn-monitor:print the events of alarm-receiver channels through the Kvarn_Rcvr library")
  string(REGEX REPLACE ":.*" "" tool ${tool_name})
  string(REGEX REPLACE "^[^:]*:" "" summary ${tool_name})
  set(page ${KVARN_DEB_STAGE}/${tool}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${KVARN_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION} --name=${summary}
            --output=${KVARN_DEB_STAGE}/${tool}.1 $<TARGET_FILE:${tool}>
    COMMAND gzip -9nf ${KVARN_DEB_STAGE}/${tool}.1
    DEPENDS ${tool} VERBATIM)
  list(APPEND KVARN_MAN_PAGES ${page})
endforeach()
add_custom_target(kvarn_man_pages ALL DEPENDS ${KVARN_MAN_PAGES})
install(FILES ${KVARN_MAN_PAGES} DESTINATION share/man/man1 COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_PACKAGE_NAME kvarn-rcvr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kvarn_Rcvr maintainers <maintainers@users.noreply.c-seed-6e626e0f.example>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KVARN_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends of every package from dpkg-shlibdeps; the library itself is found
# in the build tree, and its own packages' relations are added below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KVARN_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${KVARN_DEB_SOURCE}/triggers ${KVARN_DEB_SOURCE}/symbols)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "alarm-receiver serial link library
Kvarn_Rcvr reads event reports from an alarm receiver on a serial port,
writes each frame to a traffic log, decodes it into a 48-byte record and
hands it to the polling host. The receiver is acknowledged only once the
host has taken the event.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${KVARN_DEB_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${KVARN_DEB_RUNTIME} (= ${KVARN_DEB_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "alarm-receiver serial link library - development files
Kvarn_Rcvr reads event reports from an alarm receiver on a serial port and
hands the decoded events to the polling host.

This package holds what a host is built with: the header kvarn_rcvr.h, the
CMake package (find_package(Kvarn_Rcvr)), the pkg-config file kvarn_rcvr.pc,
the documentation, the example hosts, the Free Pascal / Delphi unit and the
Python package.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KVARN_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KVARN_DEB_RUNTIME} (= ${KVARN_DEB_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "alarm-receiver serial link library - simulator and monitor
Kvarn_Rcvr reads event reports from an alarm receiver on a serial port and
hands the decoded events to the polling host.

This package holds kvarn-sim, which plays an alarm receiver on a serial line
or a pseudo-terminal, and kvarn-monitor, a console host that prints the
events of one or more channels.")
include(CPack)
