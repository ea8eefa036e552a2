# corvo_add_subdirectories([COMPONENT_PER_FOLDER] <folder>...): adds the named
# subfolders of the current source folder, in the order given. Each area
# (apps, tests, bench, examples, tools, fuzz) keeps one component per
# subfolder this way. With COMPONENT_PER_FOLDER, what a subfolder installs
# belongs to the install component named after it (one Debian package each).
# A subfolder with a CMakeLists.txt that is not named stops the configure
# step, so a new component is never silently left out.
function(corvo_add_subdirectories)
  cmake_parse_arguments(A "COMPONENT_PER_FOLDER" "" "" ${ARGN})
  set(_listed)
  foreach(_child IN LISTS A_UNPARSED_ARGUMENTS)
    list(APPEND _listed ${_child}/CMakeLists.txt)
  endforeach()
  corvo_check_listed("the subfolders" LISTED ${_listed} PATTERNS ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  foreach(_child IN LISTS A_UNPARSED_ARGUMENTS)
    if(A_COMPONENT_PER_FOLDER)
      set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME ${_child})
    endif()
    add_subdirectory(${_child})
  endforeach()
endfunction()
