# The manual pages, the copyright file and the Debian package.
#
#   cmake --preset package && cmake --build --preset package && cpack --preset package
#
# builds build-package/squeakbox_VERSION_ARCH.deb, installing under /usr. A
# plain `cmake --install` puts the same files under CMAKE_INSTALL_PREFIX.
include(GNUInstallDirs)

# Manual pages go in gzipped, as man and the distribution's checker expect:
# best compression and no name or time stamp, so the same page gives the same
# bytes.
find_program(SQUEAKBOX_GZIP gzip)
set(squeakbox_man_pages "")
foreach(page squeakbox.1 squeakbox-render.1)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  if(SQUEAKBOX_GZIP)
    set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${packed}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/man/${page}
      COMMAND ${SQUEAKBOX_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${page}
      DEPENDS ${source}
      COMMENT "Compressing the manual page ${page}"
      VERBATIM)
    list(APPEND squeakbox_man_pages ${packed})
  else()
    list(APPEND squeakbox_man_pages ${source})
  endif()
endforeach()
install(FILES ${squeakbox_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(squeakbox_docs ${squeakbox_man_pages})

# The package: its name, version and description; its dependencies come from
# the shared libraries the two programs actually link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME squeakbox)
set(CPACK_PACKAGE_VENDOR "The Squeakbox developers")
set(CPACK_PACKAGE_CONTACT "Squeakbox maintainers <maintainers@users.noreply.c-seed-56bc8370.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time voice pitch changer")
set(CPACK_PACKAGE_DESCRIPTION
  "Squeakbox captures the voice from a microphone, moves its pitch up or down
by whole semitones while keeping the speed of speech, and plays the result
at once. Its window picks the sound devices, changes the pitch one semitone
per click, shows the output level and records what you hear to a WAV file on
the desktop. The changed voice can also be the microphone of a call program
through a virtual PulseAudio or PipeWire device.
.
squeakbox-render runs sound files through the same pitch-shift engine, from
the command line, lined up with the input.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Links and the recommendation mail go through xdg-open; the sound server's
# "pulse" and "default" devices need the ALSA plugins; pactl sets up the
# virtual microphone for calls.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, libasound2-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseaudio-utils")
# The package's own version is the project's: Squeakbox is packaged from its
# own tree, so there is no separate Debian revision.
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME squeakbox)
# One entry per release; the date is the release's.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
  ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
if(SQUEAKBOX_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${SQUEAKBOX_GZIP} -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    VERBATIM)
  list(APPEND squeakbox_docs ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
add_custom_target(squeakbox_docs ALL DEPENDS ${squeakbox_docs})

include(CPack)
