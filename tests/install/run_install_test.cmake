# cmake -P script: install BUILD_DIR into WORK_DIR/prefix, then configure,
# build and run CONSUMER_DIR against it in both modes.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(libdirs ${prefix}/lib)
file(GLOB _multiarch LIST_DIRECTORIES true ${prefix}/lib/*-linux-gnu ${prefix}/lib64)
list(APPEND libdirs ${_multiarch})
set(pcpath "")
foreach(dir IN LISTS libdirs)
  if(EXISTS ${dir}/pkgconfig)
    set(pcpath ${dir}/pkgconfig)
  endif()
endforeach()
if(NOT pcpath)
  message(FATAL_ERROR "no corvo.pc under ${prefix}")
endif()
string(REPLACE ";" ":" ldpath "${libdirs}")

# The install went to another prefix than the build was configured for:
# corvo.pc must find it relative to its own place.
foreach(mode cmake pkgconfig)
  set(build ${WORK_DIR}/build-${mode})
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcpath}
      ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
      -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}
      -DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}
      -DCONSUMER_MODE=${mode})
  run(${CMAKE_COMMAND} --build ${build})
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${ldpath} ${build}/consumer)
endforeach()
