# Install-time step: grants cap_net_raw to the installed programs so that their ping monitors
# may open raw ICMP sockets without root. Never fails the installation: without setcap, or
# where the file system keeps no capabilities (a DESTDIR on tmpfs, an unprivileged install),
# it says so and goes on; ping then needs net.ipv4.ping_group_range (see the README).
if(NOT DEFINED VARDEX_SETCAP)
  set(VARDEX_SETCAP ${VARDEX_SETCAP_CONFIGURED})
endif()
if(NOT VARDEX_SETCAP)
  return()
endif()

find_program(VARDEX_SETCAP_TOOL setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT VARDEX_SETCAP_TOOL)
  message(STATUS "VARDEX_SETCAP: setcap not found (Debian: libcap2-bin); cap_net_raw not granted, skipped")
  return()
endif()

if(IS_ABSOLUTE "${VARDEX_SETCAP_BINDIR}")
  set(bindir "$ENV{DESTDIR}${VARDEX_SETCAP_BINDIR}")
else()
  set(bindir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VARDEX_SETCAP_BINDIR}")
endif()
foreach(program IN LISTS VARDEX_SETCAP_PROGRAMS)
  set(file "${bindir}/${program}")
  execute_process(COMMAND ${VARDEX_SETCAP_TOOL} cap_net_raw+ep ${file}
    RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  string(STRIP "${error}" error)
  if(result EQUAL 0)
    message(STATUS "VARDEX_SETCAP: granted cap_net_raw to ${file}")
  else()
    message(STATUS "VARDEX_SETCAP: setcap failed for ${file} (${error}); cap_net_raw not granted, skipped")
  endif()
endforeach()
