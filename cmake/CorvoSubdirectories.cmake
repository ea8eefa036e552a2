# corvo_add_subdirectories([COMPONENT_PER_FOLDER]): adds every subfolder of
# the current source folder that has a CMakeLists.txt, in name order. Each
# area (tests, bench, examples, tools, fuzz) keeps one component per subfolder
# this way. With COMPONENT_PER_FOLDER, what a subfolder installs belongs to
# the install component named after it (one Debian package each).
function(corvo_add_subdirectories)
  cmake_parse_arguments(A "COMPONENT_PER_FOLDER" "" "" ${ARGN})
  file(GLOB _children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _children)
  foreach(_child IN LISTS _children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
      if(A_COMPONENT_PER_FOLDER)
        set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME ${_child})
      endif()
      add_subdirectory(${_child})
    endif()
  endforeach()
endfunction()
