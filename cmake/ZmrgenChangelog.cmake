# Reading CHANGELOG.md (Keep a Changelog layout) and writing the Debian
# changelog made from it. Included by cmake/ZmrgenDebianDocs.cmake (build
# time) and cmake/ZmrgenCPackProject.cmake (package time).
#
# The layout read here:
#   ## [Unreleased]                  skipped: it has no version yet
#   ## [1.2.3] - YYYY-MM-DD          one released version (brackets optional)
#   ### Added                        a group of changes
#   - an item, whose further lines   one change; its text is re-wrapped
#     are indented
# Text before the first "## " heading is the file's introduction and is not
# copied. Anything else inside a version is an error, so that nothing is
# dropped without notice.

# Characters that CMake's list handling would split on or group by, swapped
# for control characters while the text is handled as a list of lines.
string(ASCII 1 _zmrgen_semicolon)
string(ASCII 2 _zmrgen_open_bracket)
string(ASCII 3 _zmrgen_close_bracket)

# TEXT with those characters put back, in OUT.
function(_zmrgen_unswap text out)
  string(REPLACE "${_zmrgen_semicolon}" ";" text "${text}")
  string(REPLACE "${_zmrgen_open_bracket}" "[" text "${text}")
  string(REPLACE "${_zmrgen_close_bracket}" "]" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Days since 1970-01-01 of the date YEAR-MONTH-DAY (Gregorian calendar,
# years from 1970 on).
function(zmrgen_days_since_epoch year month day out)
  math(EXPR y "${year}")
  math(EXPR m "${month}")
  math(EXPR d "${day}")
  if(m LESS_EQUAL 2)
    math(EXPR y "${y} - 1")
    math(EXPR m "${m} + 9")
  else()
    math(EXPR m "${m} - 3")
  endif()
  # Days since 0000-03-01 in the proleptic Gregorian calendar, less those up
  # to 1970-01-01 (719468).
  math(EXPR days "${y} * 365 + ${y} / 4 - ${y} / 100 + ${y} / 400 + (153 * ${m} + 2) / 5 + ${d} - 1 - 719468")
  set(${out} ${days} PARENT_SCOPE)
endfunction()

# The released versions of CHANGELOG.md, newest first, in the variables
# named by VERSIONS and DATES (YYYY-MM-DD); with BODIES, a third list with
# each version's Debian entry text (the lines between the heading line and
# the trailer), its semicolons and brackets still swapped.
function(zmrgen_read_changelog file versions_out dates_out)
  set(bodies_out ${ARGV3})
  file(READ "${file}" text)
  string(REPLACE ";" "${_zmrgen_semicolon}" text "${text}")
  string(REPLACE "[" "${_zmrgen_open_bracket}" text "${text}")
  string(REPLACE "]" "${_zmrgen_close_bracket}" text "${text}")
  string(REPLACE "`" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")

  set(versions)
  set(dates)
  set(bodies)
  set(state intro)  # intro, unreleased, release
  set(body "")
  set(item "")
  set(number 0)
  # One empty line more ends the last item and version.
  foreach(line IN LISTS lines ITEMS "## end")
    math(EXPR number "${number} + 1")
    string(REGEX REPLACE "[ \t\r]+$" "" line "${line}")
    _zmrgen_unswap("${line}" shown)
    if(line MATCHES "^- " OR line MATCHES "^#" OR line STREQUAL "")
      if(NOT item STREQUAL "")
        _zmrgen_wrap("${item}" "    - " "      " wrapped)
        string(APPEND body "${wrapped}")
        set(item "")
      endif()
    endif()
    if(line MATCHES "^## ")
      if(state STREQUAL "release")
        if(body STREQUAL "")
          message(FATAL_ERROR "${file}:${number}: version ${release_version} lists no change")
        endif()
        list(APPEND bodies "${body}")
      endif()
      set(body "")
      set(heading "${line}")
      string(REPLACE "${_zmrgen_open_bracket}" "" heading "${heading}")
      string(REPLACE "${_zmrgen_close_bracket}" "" heading "${heading}")
      if(heading MATCHES "^## [Uu]nreleased$" OR heading STREQUAL "## end")
        set(state unreleased)
      elseif(heading MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+[^ ]*) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
        set(year ${CMAKE_MATCH_2})
        set(month ${CMAKE_MATCH_3})
        set(day ${CMAKE_MATCH_4})
        if(month LESS 1 OR month GREATER 12 OR day LESS 1 OR day GREATER 31 OR year LESS 1970)
          message(FATAL_ERROR "${file}:${number}: no such date: ${shown}")
        endif()
        set(release_version ${CMAKE_MATCH_1})
        list(APPEND versions ${CMAKE_MATCH_1})
        list(APPEND dates ${year}-${month}-${day})
        set(state release)
      else()
        message(FATAL_ERROR "${file}:${number}: expected \"## [VERSION] - YYYY-MM-DD\" or \"## [Unreleased]\": ${shown}")
      endif()
    elseif(state STREQUAL "release")
      if(line MATCHES "^### (.+)$")
        string(APPEND body "  * ${CMAKE_MATCH_1}:\n")
      elseif(line MATCHES "^- (.+)$")
        set(item "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^  +([^ ].*)$" AND NOT item STREQUAL "")
        string(APPEND item " ${CMAKE_MATCH_1}")
      elseif(NOT line STREQUAL "")
        message(FATAL_ERROR "${file}:${number}: expected \"### GROUP\", \"- ITEM\" or an item's indented line: ${shown}")
      endif()
    endif()
  endforeach()
  set(${versions_out} "${versions}" PARENT_SCOPE)
  set(${dates_out} "${dates}" PARENT_SCOPE)
  if(bodies_out)
    set(${bodies_out} "${bodies}" PARENT_SCOPE)
  endif()
endfunction()

# TEXT as lines of at most 79 columns: FIRST before the first line, REST
# before the others.
function(_zmrgen_wrap text first rest out)
  string(REGEX REPLACE "  +" " " text "${text}")
  string(REPLACE " " ";" words "${text}")
  set(result "")
  set(current "${first}")
  set(empty TRUE)
  foreach(word IN LISTS words)
    string(LENGTH "${current} ${word}" length)
    if(empty)
      string(APPEND current "${word}")
      set(empty FALSE)
    elseif(length GREATER 79)
      string(APPEND result "${current}\n")
      set(current "${rest}${word}")
    else()
      string(APPEND current " ${word}")
    endif()
  endforeach()
  string(APPEND result "${current}\n")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# DATE (YYYY-MM-DD) at midnight UTC, in seconds since 1970 (EPOCH) and in
# the form Debian changelogs use (RFC2822, "Tue, 08 Dec 2026 00:00:00 +0000").
# An optional HOUR (0-23) replaces midnight in the RFC2822 form.
function(zmrgen_date_forms date epoch_out rfc2822_out)
  set(hour 00)
  if(ARGC GREATER 3)
    set(hour ${ARGV3})
    if(hour LESS 10)
      set(hour 0${hour})
    endif()
  endif()
  string(REGEX MATCH "^([0-9]+)-([0-9]+)-([0-9]+)$" _ "${date}")
  set(year ${CMAKE_MATCH_1})
  set(day_digits ${CMAKE_MATCH_3})
  # Leading zeros would read as octal in math(EXPR): strip them.
  string(REGEX REPLACE "^0" "" month "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "^0" "" day "${day_digits}")
  zmrgen_days_since_epoch(${year} ${month} ${day} days)
  math(EXPR epoch "${days} * 86400")
  # 1970-01-01 was a Thursday.
  math(EXPR weekday "(${days} + 4) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  math(EXPR month_index "${month} - 1")
  list(GET months ${month_index} month_name)
  set(${epoch_out} ${epoch} PARENT_SCOPE)
  set(${rfc2822_out} "${weekday_name}, ${day_digits} ${month_name} ${year} ${hour}:00:00 +0000"
      PARENT_SCOPE)
endfunction()

# The Debian changelog of PACKAGE made from CHANGELOG.md, in OUT. Fails
# unless the newest released version is VERSION, the package's version.
function(zmrgen_debian_changelog file package version maintainer out)
  zmrgen_read_changelog("${file}" versions dates bodies)
  if(NOT versions)
    message(FATAL_ERROR "${file}: no released version")
  endif()
  list(GET versions 0 newest)
  if(NOT newest STREQUAL version)
    message(FATAL_ERROR "${file}: the newest released version is ${newest}, the package's is ${version}")
  endif()
  # Debian wants every entry later than the one below it, to the second;
  # the changelog has days only, so releases of one day are stamped an hour
  # apart, the oldest at midnight.
  set(hours)
  set(previous_date "")
  set(hour 0)
  list(LENGTH dates count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last} 0 -1)
    list(GET dates ${i} entry_date)
    if(entry_date STREQUAL previous_date)
      math(EXPR hour "${hour} + 1")
    else()
      set(hour 0)
    endif()
    set(previous_date ${entry_date})
    list(PREPEND hours ${hour})
  endforeach()
  set(result "")
  foreach(entry_version entry_date entry_body entry_hour IN ZIP_LISTS versions dates bodies hours)
    zmrgen_date_forms(${entry_date} _ when ${entry_hour})
    if(NOT result STREQUAL "")
      string(APPEND result "\n")
    endif()
    string(APPEND result "${package} (${entry_version}) unstable; urgency=medium\n\n"
                         "${entry_body}\n -- ${maintainer}  ${when}\n")
  endforeach()
  _zmrgen_unswap("${result}" result)
  set(${out} "${result}" PARENT_SCOPE)
endfunction()
