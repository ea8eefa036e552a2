# Conventions for every target the project compiles (see CONTRIBUTING.md):
#
#   add_executable(my_tool main.cpp other.cpp)    # sources listed by name
#   corvo_target_warnings(my_tool)               # right after add_*
#
# corvo_target_warnings(<target>...) gives each target the project's warning
# flags (-Wall -Wextra), as its own PRIVATE compile options: nothing is set
# for the whole directory tree, and a program outside the project that links
# a target does not inherit them. At the end of the configure step,
# corvo_check_target_warnings() names every compiled target of the project
# that has not called it.
#
# corvo_check_listed(<what> LISTED <file>... PATTERNS <glob>...) stops the
# configure step when a file that matches a pattern is not in the list: with
# explicit source lists, a new file that nobody listed would otherwise be
# left out of the build or the install without a word.

function(corvo_target_warnings)
  foreach(_target IN LISTS ARGN)
    target_compile_options(${_target} PRIVATE -Wall -Wextra)
    set_property(TARGET ${_target} PROPERTY CORVO_WARNINGS ON)
  endforeach()
endfunction()

function(_corvo_collect_targets dir out)
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_sub IN LISTS _subdirs)
    _corvo_collect_targets(${_sub} _more)
    list(APPEND _targets ${_more})
  endforeach()
  set(${out} ${_targets} PARENT_SCOPE)
endfunction()

function(corvo_check_target_warnings)
  _corvo_collect_targets(${PROJECT_SOURCE_DIR} _targets)
  set(_missing)
  foreach(_target IN LISTS _targets)
    get_target_property(_type ${_target} TYPE)
    if(_type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      get_target_property(_warnings ${_target} CORVO_WARNINGS)
      if(NOT _warnings)
        list(APPEND _missing ${_target})
      endif()
    endif()
  endforeach()
  if(_missing)
    list(JOIN _missing " " _missing)
    message(WARNING "corvo: these targets do not call corvo_target_warnings(): ${_missing}")
  endif()
endfunction()

function(corvo_check_listed what)
  cmake_parse_arguments(A "" "" "LISTED;PATTERNS" ${ARGN})
  set(_listed)
  foreach(_file IN LISTS A_LISTED)
    get_filename_component(_file ${_file} ABSOLUTE)
    list(APPEND _listed ${_file})
  endforeach()
  file(GLOB _found LIST_DIRECTORIES false ${A_PATTERNS})
  set(_missing)
  foreach(_file IN LISTS _found)
    if(NOT _file IN_LIST _listed)
      file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${_file})
      list(APPEND _missing ${_rel})
    endif()
  endforeach()
  if(_missing)
    list(JOIN _missing " " _missing)
    message(FATAL_ERROR "corvo: ${_missing}: not listed among ${what} in ${CMAKE_CURRENT_LIST_FILE}; "
                        "add each file to its list there")
  endif()
endfunction()
