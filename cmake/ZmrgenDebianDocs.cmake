# Build-time script for the files the Debian package documents itself with:
#
#   cmake -DMODE=changelog -DSOURCE=CHANGELOG.md -DPACKAGE=name -DVERSION=x.y.z
#         -DMAINTAINER="Name <address>" -DOUTPUT=changelog.gz -DGZIP=gzip -P this
#   cmake -DMODE=copyright -DSOURCE=LICENSE -DPACKAGE=name
#         -DMAINTAINER="Name <address>" -DOUTPUT=copyright -P this
#   cmake -DMODE=gzip -DSOURCE=page.1 -DOUTPUT=page.1.gz -DGZIP=gzip -P this
#
# Compressed files are made with `gzip -9n`: the best compression, and no
# name or time in the header, so the bytes depend on the content alone.
cmake_policy(VERSION 3.25)

function(zmrgen_gzip input output)
  execute_process(COMMAND "${GZIP}" -9n -c "${input}" OUTPUT_FILE "${output}.tmp"
                  RESULT_VARIABLE failed)
  if(failed)
    file(REMOVE "${output}.tmp")
    message(FATAL_ERROR "gzip failed on ${input}: ${failed}")
  endif()
  file(RENAME "${output}.tmp" "${output}")
endfunction()

if(MODE STREQUAL "changelog")
  include(${CMAKE_CURRENT_LIST_DIR}/ZmrgenChangelog.cmake)
  zmrgen_debian_changelog("${SOURCE}" "${PACKAGE}" "${VERSION}" "${MAINTAINER}" text)
  string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
  file(WRITE "${plain}" "${text}")
  zmrgen_gzip("${plain}" "${OUTPUT}")
  file(REMOVE "${plain}")

elseif(MODE STREQUAL "copyright")
  # The machine-readable format (copyright-format 1.0), from the licence
  # file: its copyright line gives the Copyright field, the text after it
  # the licence (Debian's short name for this MIT licence is Expat).
  file(READ "${SOURCE}" licence)
  if(NOT licence MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.+)$")
    message(FATAL_ERROR "${SOURCE}: expected \"MIT License\", a copyright line and the licence text")
  endif()
  set(holders "${CMAKE_MATCH_1}")
  set(terms "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "\n+$" "" terms "${terms}")
  # Continuation lines start with a space; an empty line is a lone " .".
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  file(WRITE "${OUTPUT}"
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ${PACKAGE}\n"
       "Upstream-Contact: ${MAINTAINER}\n"
       "\n"
       "Files: *\n"
       "Copyright: ${holders}\n"
       "License: Expat\n"
       " ${terms}\n")

elseif(MODE STREQUAL "gzip")
  zmrgen_gzip("${SOURCE}" "${OUTPUT}")

else()
  message(FATAL_ERROR "MODE must be changelog, copyright or gzip")
endif()
