# Run by CPack after it has made a package (CPACK_POST_BUILD_SCRIPTS, set by
# ZmrgenCPackProject.cmake), to take out what CPack 3.25 lets the build
# machine put in:
#
# - ZIP: CPack adds the members in the order the file system lists each
#   folder. The archive is made again from the same staged files in sorted
#   order, each stamped with SOURCE_DATE_EPOCH, the ZIP's local-time fields
#   in UTC. Only files are listed: the folders follow from their paths.
# - DEB: the modes of the three ar members (debian-binary, control.tar.gz,
#   data.tar.gz) come from CPack's temporary files, so from the umask. They
#   are set to 100644, as dpkg-deb writes them.
cmake_policy(VERSION 3.25)

# The ZIP made again with its members sorted.
function(zmrgen_sort_zip package)
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set")
  endif()
  set(ENV{TZ} UTC0)
  if(CPACK_INCLUDE_TOPLEVEL_DIRECTORY)
    set(base "${CPACK_TOPLEVEL_DIRECTORY}")
  else()
    set(base "${CPACK_TEMPORARY_DIRECTORY}")
  endif()
  file(GLOB_RECURSE members LIST_DIRECTORIES false RELATIVE "${base}"
       "${CPACK_TEMPORARY_DIRECTORY}/*")
  list(SORT members)
  if(NOT members)
    message(FATAL_ERROR "no staged files under ${CPACK_TEMPORARY_DIRECTORY}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${package}.sorted" --format=zip -- ${members}
                  WORKING_DIRECTORY "${base}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot make ${package} again in sorted order")
  endif()
  file(RENAME "${package}.sorted" "${package}")
endfunction()

# Every ar member's mode field set to 100644. An ar archive is "!<arch>\n"
# and then, per member, a 60-byte header (name 16, date 12, owner 6,
# group 6, mode 8, size 10, "`\n") and the content, padded to an even size.
function(zmrgen_fix_deb_modes package)
  find_program(ZMRGEN_DD dd REQUIRED)
  file(SIZE "${package}" total)
  file(READ "${package}" magic LIMIT 8)
  if(NOT magic STREQUAL "!<arch>\n")
    message(FATAL_ERROR "${package} is not an ar archive")
  endif()
  file(WRITE "${package}.mode" "100644  ")
  set(offset 8)
  while(offset LESS total)
    file(READ "${package}" header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 size)
    string(SUBSTRING "${header}" 58 2 end)
    string(STRIP "${size}" size)
    if(NOT end STREQUAL "`\n" OR NOT size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
    endif()
    math(EXPR mode_offset "${offset} + 40")
    execute_process(COMMAND "${ZMRGEN_DD}" if=${package}.mode of=${package} bs=1
                            seek=${mode_offset} conv=notrunc status=none
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "cannot set the ar member modes of ${package}")
    endif()
    math(EXPR offset "${offset} + 60 + ${size} + ${size} % 2")
  endwhile()
  file(REMOVE "${package}.mode")
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    zmrgen_sort_zip("${package}")
  elseif(package MATCHES "\\.deb$")
    zmrgen_fix_deb_modes("${package}")
  endif()
endforeach()
