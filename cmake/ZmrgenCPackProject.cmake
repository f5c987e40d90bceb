# Run by CPack before it makes each package (CPACK_PROJECT_CONFIG_FILE).
#
# File times: CPack stamps every archive member with SOURCE_DATE_EPOCH when
# it is set. When it is not, it is taken here from the last commit, or, with
# no git history at hand, from the date of the newest release in
# CHANGELOG.md, so that two packages made from one commit are the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "")
  if(CPACK_ZMRGEN_GIT)
    execute_process(COMMAND "${CPACK_ZMRGEN_GIT}" -C "${CPACK_ZMRGEN_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT epoch MATCHES "^[0-9]+$")
      set(epoch "")
    endif()
  endif()
  if(epoch STREQUAL "")
    include(${CPACK_ZMRGEN_SOURCE_DIR}/cmake/ZmrgenChangelog.cmake)
    zmrgen_read_changelog(${CPACK_ZMRGEN_SOURCE_DIR}/CHANGELOG.md versions dates)
    list(GET dates 0 newest)
    zmrgen_date_forms(${newest} epoch _)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

# What the build machine would otherwise put in: the ZIP's member order,
# the .deb's ar member modes (ZmrgenPostBuild.cmake).
set(CPACK_POST_BUILD_SCRIPTS ${CPACK_ZMRGEN_SOURCE_DIR}/cmake/ZmrgenPostBuild.cmake)

# A cross build's Debian dependencies, which dpkg-shlibdeps cannot find.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_ZMRGEN_READELF)
  include(${CPACK_ZMRGEN_SOURCE_DIR}/cmake/ZmrgenCrossDepends.cmake)
endif()
