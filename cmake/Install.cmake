# Installation: the programs in bin/, the desktop entry and the icon where desktop
# environments look for them, and, with VARDEX_SETCAP, the raw-socket capability that lets
# ping monitors work for an ordinary user.
include(GNUInstallDirs)

option(VARDEX_SETCAP "Grant cap_net_raw to the installed programs with setcap (ping without root)" OFF)

set(vardex_installed_programs vardex-check)
install(TARGETS vardex-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(VARDEX_GUI)
  list(APPEND vardex_installed_programs vardex)
  install(TARGETS vardex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/res/vardex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 48 256)
    install(FILES ${CMAKE_SOURCE_DIR}/res/icons/vardex-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME vardex.png)
  endforeach()
endif()

# Runs after the programs are in place. The option's value is taken at configure time, and
# `cmake -DVARDEX_SETCAP=ON -P cmake_install.cmake` can still ask for it at install time.
install(CODE "
  set(VARDEX_SETCAP_CONFIGURED ${VARDEX_SETCAP})
  set(VARDEX_SETCAP_PROGRAMS \"${vardex_installed_programs}\")
  set(VARDEX_SETCAP_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/InstallSetCap.cmake)
