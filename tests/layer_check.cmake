# Which group may include which, read from the sources' #include lines:
#   cmake -DSOURCE_DIR=... -P layer_check.cmake
# The engine knows only the standard library; the option scanning only the
# engine; the sound files (the renderer's way to disk) only themselves; the
# rest of audio/ no Qt and nothing of the programs; the renderer neither Qt
# nor the sound devices; the window's actions nothing of the window. Only
# app/ knows Qt.

# group (a folder under SOURCE_DIR) | what its quoted includes may name (comma-separated
# beginnings of paths) | Qt allowed
set(rules
  "engine|engine/|no"
  "options|options/,engine/|no"
  "audio/sound_files|audio/sound_files/|no"
  "audio|audio/,engine/|no"
  "cli|cli/,options/,engine/,audio/sound_files/|no"
  "app/actions|app/actions/,app/window_language.h|yes"
  "app|app/,audio/,engine/,options/|yes")

set(faults "")
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/engine/*.h ${SOURCE_DIR}/engine/*.cpp
  ${SOURCE_DIR}/options/*.h ${SOURCE_DIR}/options/*.cpp
  ${SOURCE_DIR}/audio/*.h ${SOURCE_DIR}/audio/*.cpp
  ${SOURCE_DIR}/cli/*.h ${SOURCE_DIR}/cli/*.cpp
  ${SOURCE_DIR}/app/*.h ${SOURCE_DIR}/app/*.cpp)
foreach(source IN LISTS sources)
  # The first rule whose folder holds the file is its group.
  set(allowed "")
  set(qt_allowed "")
  foreach(rule IN LISTS rules)
    string(REPLACE "|" ";" parts "${rule}")
    list(GET parts 0 folder)
    if(source MATCHES "^${folder}/")
      list(GET parts 1 allowed)
      string(REPLACE "," ";" allowed "${allowed}")
      list(GET parts 2 qt_allowed)
      break()
    endif()
  endforeach()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include")
  foreach(line IN LISTS includes)
    if(line MATCHES "^#include <(Q[A-Za-z]*)>" AND qt_allowed STREQUAL "no")
      string(APPEND faults "  ${source}: ${line} (no Qt here)\n")
    elseif(line MATCHES "^#include \"([a-z_]+/[^\"]*)\"")
      set(included ${CMAKE_MATCH_1})
      set(fits FALSE)
      foreach(prefix IN LISTS allowed)
        string(FIND "${included}" "${prefix}" at)
        if(at EQUAL 0)
          set(fits TRUE)
        endif()
      endforeach()
      if(NOT fits)
        string(APPEND faults "  ${source}: ${line}\n")
      endif()
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "includes across the groups' borders:\n${faults}")
endif()
list(LENGTH sources count)
message(STATUS "${count} sources keep to their groups")
