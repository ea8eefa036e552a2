# cmake -P script: install BUILD_DIR into WORK_DIR/prefix; check the
# installed library (SONAME, exported symbols) and that installed programs
# start without LD_LIBRARY_PATH; then configure, build and run CONSUMER_DIR
# against it in both modes, and a C++20 program with pkg-config's flags.
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
get_filename_component(libdir ${pcpath} DIRECTORY)

function(output var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# The SONAME carries the major version only, and the development link points
# at it.
string(REGEX MATCH "^[0-9]+" major ${VERSION})
if(NOT EXISTS ${libdir}/libcorvo.so.${major} OR NOT EXISTS ${libdir}/libcorvo.so)
  message(FATAL_ERROR "libcorvo.so.${major} or libcorvo.so missing in ${libdir}")
endif()
output(dynamic readelf -d ${libdir}/libcorvo.so.${major})
if(NOT dynamic MATCHES "SONAME\\)[^\n]*\\[libcorvo\\.so\\.${major}\\]")
  message(FATAL_ERROR "SONAME is not libcorvo.so.${major}:\n${dynamic}")
endif()

# Only the library's own API is exported: nothing of the ZRE node (its zyre
# C API or the zre namespace).
output(symbols nm -D --defined-only ${libdir}/libcorvo.so.${major})
if(symbols MATCHES "[ \n](zyre_|zre_|_ZN3zre)[A-Za-z0-9_]*")
  message(FATAL_ERROR "libcorvo exports a symbol of the ZRE node: ${CMAKE_MATCH_0}")
endif()
if(NOT symbols MATCHES "_ZN5corvo6Daemon")
  message(FATAL_ERROR "libcorvo does not export corvo::Daemon")
endif()
# With the bundled node it defines libsodium's two allocation functions, so
# that libzmq's CURVE handshakes reuse guarded blocks (zre/README.md).
if(ZYRE_TARGET STREQUAL "zre")
  foreach(function sodium_allocarray sodium_free)
    if(NOT symbols MATCHES " T ${function}
")
      message(FATAL_ERROR "libcorvo does not define ${function}")
    endif()
  endforeach()
endif()

# Installed programs find the library through their run path, from this
# prefix, which is not the one the build was configured for.
foreach(program corvo corvo-simcam corvo-example-daemon)
  if(EXISTS ${prefix}/bin/${program})
    output(text ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/${program} --version)
    if(NOT text STREQUAL "corvo v${VERSION}\n")
      message(FATAL_ERROR "${program} --version printed '${text}'")
    endif()
  endif()
endforeach()

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

# A C++20 program compiled by hand, its -std before pkg-config's flags: the
# installed flags must leave it on C++20 (main_cxx20.cpp asserts it).
find_program(PKG_CONFIG pkg-config REQUIRED)
output(pcflags ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcpath} ${PKG_CONFIG} --cflags --libs corvo)
separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
run(${CXX_COMPILER} -std=c++20 ${extra} ${CONSUMER_DIR}/main_cxx20.cpp -o ${WORK_DIR}/consumer-cxx20 ${pcflags})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${ldpath} ${WORK_DIR}/consumer-cxx20)
