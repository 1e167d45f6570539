# Holds a manual page to the program it describes:
#   cmake -DPROGRAM=path/to/binary -DPAGE=docs/man/NAME.1 [-DMAN=path/to/man] -P man_page_check.cmake
# Every option the live --help lists must have an entry under OPTIONS in the
# page, and every entry there must be an option --help lists. With MAN, the
# page must also render without a single warning.

foreach(required PROGRAM PAGE)
  if(NOT ${required})
    message(FATAL_ERROR "man_page_check: ${required} is not set")
  endif()
endforeach()

# Options at the start of a text: "-s, --semitones N" gives -s and --semitones.
function(leading_options text out)
  string(REGEX MATCHALL "(^|[ ,\"])--?[A-Za-z][A-Za-z0-9-]*" found "${text}")
  set(options "")
  foreach(option IN LISTS found)
    string(REGEX REPLACE "^[ ,\"]" "" option "${option}")
    list(APPEND options "${option}")
  endforeach()
  set(${out} "${options}" PARENT_SCOPE)
endfunction()

# Lines as a list; brackets would stop CMake from splitting the list, and
# semicolons would split it wrongly, so neither survives.
function(text_lines text out)
  string(REGEX REPLACE "[][;]" "_" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${PROGRAM} --help
  OUTPUT_VARIABLE help ERROR_VARIABLE help_errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${status}: ${help_errors}")
endif()

# In --help, an option line starts with blanks and a dash; its options end
# where the description begins, after a run of blanks.
set(help_options "")
text_lines("${help}" help_lines)
foreach(line IN LISTS help_lines)
  if(line MATCHES "^ +-")
    string(STRIP "${line}" line)
    string(REGEX REPLACE "  .*" "" line "${line}")
    leading_options("${line}" options)
    list(APPEND help_options ${options})
  endif()
endforeach()

# In the page, each option is the tag line after a .TP in the OPTIONS section.
file(READ "${PAGE}" page)
text_lines("${page}" page_lines)
set(page_options "")
set(in_options FALSE)
set(tag_next FALSE)
foreach(line IN LISTS page_lines)
  if(line MATCHES "^\\.SH")
    set(in_options FALSE)
    if(line MATCHES "^\\.SH +\"?OPTIONS\"?$")
      set(in_options TRUE)
    endif()
  elseif(in_options AND line MATCHES "^\\.TP")
    set(tag_next TRUE)
  elseif(tag_next)
    set(tag_next FALSE)
    string(REPLACE "\\-" "-" line "${line}")
    string(REGEX REPLACE "\\\\f[BIRP]" "" line "${line}")
    string(REGEX REPLACE "^\\.[A-Z]+ +" "" line "${line}")
    leading_options("${line}" options)
    list(APPEND page_options ${options})
  endif()
endforeach()

if(NOT help_options)
  message(FATAL_ERROR "found no options in the --help of ${PROGRAM}")
endif()
if(NOT page_options)
  message(FATAL_ERROR "found no options under OPTIONS in ${PAGE}")
endif()
list(REMOVE_DUPLICATES help_options)
list(REMOVE_DUPLICATES page_options)

set(not_in_page ${help_options})
list(REMOVE_ITEM not_in_page ${page_options})
set(not_in_help ${page_options})
list(REMOVE_ITEM not_in_help ${help_options})
set(faults "")
if(not_in_page)
  list(JOIN not_in_page " " names)
  string(APPEND faults "\n  in --help but not in the page: ${names}")
endif()
if(not_in_help)
  list(JOIN not_in_help " " names)
  string(APPEND faults "\n  in the page but not in --help: ${names}")
endif()

if(MAN)
  # man-db passes --warnings on to groff, which names every macro or escape it
  # cannot place; a clean page prints nothing on standard error.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80
                          ${MAN} --warnings -l "${PAGE}"
    OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    string(APPEND faults "\n  man --warnings (status ${status}):\n${warnings}")
  endif()
endif()

if(faults)
  message(FATAL_ERROR "${PAGE} is out of step with ${PROGRAM}:${faults}")
endif()
list(LENGTH help_options count)
message(STATUS "${PAGE}: ${count} options, in step with --help")
