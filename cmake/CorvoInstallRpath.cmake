# Installed programs and modules find libcorvo relative to their own place
# ($ORIGIN), so an install into any prefix runs without LD_LIBRARY_PATH.
#
# CMAKE_INSTALL_RPATH covers everything installed to the binary folder.
# corvo_install_rpath(<target> <destination>) sets the run path of a target
# installed elsewhere (a Python extension, a plug-in); <destination> is the
# install destination relative to the prefix.
function(corvo_origin_rpath destination out)
  file(RELATIVE_PATH _rel ${CMAKE_INSTALL_PREFIX}/${destination} ${CMAKE_INSTALL_FULL_LIBDIR})
  string(REGEX REPLACE "/$" "" _rel "${_rel}")
  if(_rel STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${_rel}" PARENT_SCOPE)
  endif()
endfunction()

function(corvo_install_rpath target destination)
  corvo_origin_rpath(${destination} _rpath)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${_rpath}")
endfunction()

corvo_origin_rpath(${CMAKE_INSTALL_BINDIR} CMAKE_INSTALL_RPATH)
