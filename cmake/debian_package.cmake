# Installing Sonvale for every user, and the Debian package made from that
# install by CPack (`cpack -G DEB` in the build folder; scripts/build_deb.sh
# does everything in one command):
#
#   /usr/bin/sonvale                               the command
#   /usr/lib/<triplet>/libsonvale.so.0             the C library, with sonvale/sonvale.h and sonvale.pc
#   /usr/lib/<triplet>/sonvale/libsonvale.so       the engine's COM module, with the properties
#                                                  dialog's plugin beside it (where it looks)
#   speech-dispatcher's module and configuration folders: sd_sonvale, sonvale.conf
#   /usr/share/sonvale/voices/default/             the default voice
#   /usr/share/man/man1/sonvale*.1.gz              a page for the command and each subcommand
#   /usr/share/doc/sonvale/                        copyright, the voice's attribution, changelog
#
# The package's scripts register the module and the voice in the machine-wide
# registry store (/var/lib/sonvale) and take them out again on removal; purge
# removes the store.

include(GNUInstallDirs)

set(SONVALE_PACKAGE_VOICE_DIR ${CMAKE_BINARY_DIR}/voices/default CACHE PATH
    "The voice the package installs as the default (built by SONVALE_BUILD_VOICE)")
set(SONVALE_PACKAGE_MAINTAINER "Sonvale developers <sonvale@users.noreply.github.com>" CACHE STRING
    "The package's Maintainer field")

set(SONVALE_DEFAULT_VOICE_NAME REZuroruRadarorud)
set(SONVALE_MODULE_INSTALLED ${CMAKE_INSTALL_FULL_LIBDIR}/sonvale/libsonvale.so)
set(SONVALE_VOICE_INSTALLED ${CMAKE_INSTALL_FULL_DATADIR}/sonvale/voices/default)
set(SONVALE_MACHINE_STORE_DIR /var/lib/sonvale)
set(deb_dir ${CMAKE_BINARY_DIR}/debian)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/sonvale)

install(TARGETS sonvale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# `sonvale register` with no MODULE finds the installed module from there.
target_compile_definitions(sonvale PRIVATE SONVALE_INSTALLED_MODULE="../${CMAKE_INSTALL_LIBDIR}/sonvale/libsonvale.so")
install(TARGETS sonvale_c_library LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS sonvale_module sonvale_dialog LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/sonvale)
install(FILES ${PROJECT_SOURCE_DIR}/include/sonvale/sonvale.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sonvale)
configure_file(${PROJECT_SOURCE_DIR}/tools/debian/sonvale.pc.in ${deb_dir}/sonvale.pc @ONLY)
install(FILES ${deb_dir}/sonvale.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The voice is there once built (SONVALE_BUILD_VOICE); scripts/build_deb.sh
# makes sure of it.
if(SONVALE_BUILD_VOICE OR EXISTS ${SONVALE_PACKAGE_VOICE_DIR}/voice.def)
  install(FILES ${SONVALE_PACKAGE_VOICE_DIR}/voice.def ${SONVALE_PACKAGE_VOICE_DIR}/voice.dat
                ${SONVALE_PACKAGE_VOICE_DIR}/voice.wrd ${SONVALE_PACKAGE_VOICE_DIR}/units.txt
                ${SONVALE_PACKAGE_VOICE_DIR}/ATTRIBUTION.txt
          DESTINATION ${CMAKE_INSTALL_DATADIR}/sonvale/voices/default)
endif()

# Manual pages, made from the commands' own --help by help2man.
find_program(SONVALE_HELP2MAN help2man)
if(SONVALE_HELP2MAN)
  set(pages)
  foreach(entry IN ITEMS "|read Chinese text aloud in Cantonese"
                         "speak|speak Chinese text aloud in Cantonese"
                         "analyze|show how Sonvale cuts text into words, readings and numbers"
                         "voices|list the installed Sonvale voices"
                         "voice|install, remove, build or check a Sonvale voice"
                         "config|show or change Sonvale's engine settings"
                         "register|register Sonvale's engine module")
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 sub)
    list(GET parts 1 what)
    if(sub STREQUAL "")
      set(name sonvale)
    else()
      set(name sonvale-${sub})
    endif()
    set(page ${deb_dir}/man/${name}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${deb_dir}/man
      COMMAND sh ${PROJECT_SOURCE_DIR}/tools/debian/man_page.sh ${SONVALE_HELP2MAN} $<TARGET_FILE:sonvale>
              ${PROJECT_VERSION} "${sub}" ${what} ${page}
      DEPENDS sonvale ${PROJECT_SOURCE_DIR}/tools/debian/man_page.sh
      COMMENT "Writing the manual page ${name}(1)"
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(sonvale_man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: the package gets no manual pages")
endif()

configure_file(${PROJECT_SOURCE_DIR}/tools/debian/changelog.in ${deb_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${deb_dir}/changelog.gz
                   COMMAND gzip -9nc ${deb_dir}/changelog > ${deb_dir}/changelog.gz
                   DEPENDS ${deb_dir}/changelog VERBATIM)
add_custom_target(sonvale_deb_changelog ALL DEPENDS ${deb_dir}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/tools/debian/copyright ${PROJECT_SOURCE_DIR}/voices/ATTRIBUTION.txt
        DESTINATION ${doc_dir})
# A native package (no Debian revision): its changelog is changelog.gz.
install(FILES ${deb_dir}/changelog.gz DESTINATION ${doc_dir})

foreach(script IN ITEMS postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/tools/debian/${script}.in ${deb_dir}/control/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                  WORLD_EXECUTE)
endforeach()
file(WRITE ${deb_dir}/control/conffiles "${SONVALE_SPEECHD_CONFIG_DIR}/sonvale.conf\n")
# The dynamic linker's cache learns of libsonvale.so.0 after install and removal.
file(WRITE ${deb_dir}/control/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SONVALE_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Chinese text read aloud in Cantonese")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Sonvale reads written Chinese (traditional or simplified) aloud in Cantonese\n\
with a female voice. It is a unit-concatenation synthesizer with its own text\n\
analysis: sentences, dictionary words, phrase prosody, Chinese number reading\n\
and punctuation pauses.\n\
.\n\
This package holds the sonvale command, the C library, the engine's COM\n\
module, the speech-dispatcher output module (for Orca and other screen\n\
readers) and the default voice, registered for every user of the machine.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends: exactly the libraries the binaries link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS speech-dispatcher)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_dir}/control/postinst ${deb_dir}/control/prerm
                                       ${deb_dir}/control/postrm ${deb_dir}/control/conffiles
                                       ${deb_dir}/control/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The maintainer scripts name installed paths: the package is laid out as the
# install is (scripts/build_deb.sh configures the prefix /usr).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
