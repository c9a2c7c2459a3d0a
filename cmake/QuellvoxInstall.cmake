# What `cmake --install` puts under the prefix, and the Debian package CPack
# makes of it: the programs in bin/, the desktop entry and the program icon
# in share/ (hicolor sizes), the README in share/doc/quellvox, the service's
# unit for the user's service manager in lib/systemd/user. Included after
# every program is declared, so that what is not built is left out.
include(GNUInstallDirs)

set(QUELLVOX_INSTALLED_PROGRAMS quellvox quellvoxd quellvox-demo quellvox-reg quellvox-render quellvox-example)
foreach(program ${QUELLVOX_INSTALLED_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The real-media module, where the programs look for it: lib/quellvox
# beside bin/.
if(TARGET quellvox_real_media)
  install(TARGETS quellvox_real_media LIBRARY DESTINATION lib/quellvox)
endif()

# The desktop entry starts the tray program.
if(TARGET quellvox)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/package/quellvox.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# The service's template unit (its ExecStart names /usr/bin/quellvoxd, the
# package's program), where the user's service manager looks for units that
# packages install.
if(TARGET quellvoxd)
  install(FILES ${CMAKE_BINARY_DIR}/units/install/quellvox@.service DESTINATION lib/systemd/user)
endif()

# The program icon as the tray program draws it, one PNG per hicolor size,
# written at build time by quellvox-icons.
if(TARGET quellvox-icons)
  set(icon_dir ${CMAKE_BINARY_DIR}/icons)
  set(icon_sizes 16 22 24 32 48 64 128 256)
  set(icon_files "")
  foreach(size ${icon_sizes})
    list(APPEND icon_files ${icon_dir}/${size}/quellvox.png)
  endforeach()
  add_custom_command(OUTPUT ${icon_files}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:quellvox-icons> ${icon_dir}
    DEPENDS quellvox-icons
    COMMENT "Drawing the program icon for installation")
  add_custom_target(quellvox_install_icons ALL DEPENDS ${icon_files})
  foreach(size ${icon_sizes})
    install(FILES ${icon_dir}/${size}/quellvox.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quellvox)
if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quellvox FILES_MATCHING PATTERN "*.png")
endif()

# The Debian package: everything above under /usr. Its runtime dependencies
# are computed from the programs' shared libraries by dpkg-shlibdeps; only
# Qt's platform plugins are named, because Qt loads them at run time (the
# demo and the tests use "offscreen", the tray program "xcb") and no
# program links them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellvox)
set(CPACK_PACKAGE_VENDOR "Quellvox")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relays a live capture into title engines and ducks the floor under voice-over")
set(CPACK_PACKAGE_DESCRIPTION
    "Quellvox is an unattended broadcast utility for a playout workstation. It relays one live\n"
    "capture source into a layer of up to 32 title engines and builds their audio from the\n"
    "capture's multichannel audio: up to eight voice-over lines, each with the floor audio\n"
    "ducked while it carries voice. This build plays the capture cards and title engines with\n"
    "its virtual studio; quellvox-demo shows the main job without a display.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quellvox developers <quellvox@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
