# corvo_add_subdirectories(): adds every subfolder of the current source
# folder that has a CMakeLists.txt, in name order. Each area (tests, bench,
# examples, tools, fuzz) keeps one component per subfolder this way.
function(corvo_add_subdirectories)
  file(GLOB _children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _children)
  foreach(_child IN LISTS _children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endfunction()
