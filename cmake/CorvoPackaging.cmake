# Debian packages, one per install component, made with CPack:
#   cmake -S . -B build/deb -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
#   cmake --build build/deb && (cd build/deb && cpack -G DEB)
# Component -> package:
#   runtime  libcorvo2        the shared library (named after its SONAME)
#   dev      libcorvo-dev     headers, CMake package, pkg-config files (both
#                             libraries')
#   corvo    corvo            corvo, corvo-simcam, corvo-rendezvous, the examples, the systemd unit
#   history  libcorvo-history2 the history library (named after its SONAME)
#   python   python3-corvo    the Python package (when built)
#   archiver corvo-archiver   the archiver (apps/archiver)
#   web      corvo-web        the web console (apps/web)
#   alarmd   corvo-alarmd     the alarm daemon (apps/alarmd)
# Library dependencies come from dpkg-shlibdeps; the others are listed here.
set(CPACK_PACKAGE_NAME corvo)
set(CPACK_PACKAGE_VENDOR "libcorvo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "framework for distributed instrument control")
set(CPACK_PACKAGE_CONTACT "libcorvo maintainers <corvo-maintainers@example.org>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# Packages built here depend on each other's libraries: dpkg-shlibdeps finds
# them in the staging folders of the other components.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/libcorvo ${CMAKE_BINARY_DIR}/history)

set(_exact "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libcorvo${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# cfitsio is loaded at run time (dlopen), which dpkg-shlibdeps cannot see.
if(CORVO_CFITSIO_SONAME MATCHES "^libcfitsio\\.so\\.([0-9]+)$")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libcfitsio${CMAKE_MATCH_1}")
endif()
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "framework for distributed instrument control - shared library
 Device servers, tools, typed properties, commands and FITS images on a
 ZRE peer network.")

# The history library's runtime package is named after its SONAME, as
# Debian's libraries are, so that the next major version can be installed
# beside it.
set(_history libcorvo-history${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcorvo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libcorvo${PROJECT_VERSION_MAJOR} ${_exact}, libzmq3-dev, libczmq-dev, libprotobuf-dev, libuv1-dev, libspdlog-dev, libfmt-dev, libboost-program-options-dev, libcfitsio-dev")
if(TARGET corvo_history)
  # Its link, headers and CMake target point at the history library, and it
  # takes these files over from libcorvo-history (which held them before
  # the library had a package of its own).
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", ${_history} ${_exact}")
  set(CPACK_DEBIAN_DEV_PACKAGE_BREAKS libcorvo-history)
  set(CPACK_DEBIAN_DEV_PACKAGE_REPLACES libcorvo-history)
endif()
set(CPACK_COMPONENT_DEV_DESCRIPTION "framework for distributed instrument control - development files
 Headers, CMake package (find_package(corvo): corvo::corvo and corvo::history)
 and pkg-config files (corvo and corvo-history).")

set(CPACK_DEBIAN_CORVO_PACKAGE_NAME corvo)
# dpkg-shlibdeps knows nothing of the libraries built here: they are named.
set(_own_libs "libcorvo${PROJECT_VERSION_MAJOR} ${_exact}")
if(TARGET corvo_history)
  string(APPEND _own_libs ", ${_history} ${_exact}")
endif()
set(CPACK_DEBIAN_CORVO_PACKAGE_DEPENDS "${_own_libs}")
set(CPACK_COMPONENT_CORVO_DESCRIPTION "framework for distributed instrument control - programs
 The operator tool corvo, the simulated camera corvo-simcam, the example
 device and tool, the gossip rendezvous point corvo-rendezvous, and a
 systemd template unit for daemons.")

set(CPACK_DEBIAN_HISTORY_PACKAGE_NAME ${_history})
set(CPACK_DEBIAN_HISTORY_PACKAGE_SECTION libs)
# libcorvo-history, the package's earlier name, held the same library files:
# it is removed when this one is installed.
set(CPACK_DEBIAN_HISTORY_PACKAGE_CONFLICTS libcorvo-history)
set(CPACK_DEBIAN_HISTORY_PACKAGE_REPLACES libcorvo-history)
set(CPACK_COMPONENT_HISTORY_DESCRIPTION "framework for distributed instrument control - history library
 Storage and queries of archived property values, logs and status
 (SQLite and PostgreSQL).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-corvo)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The compiled modules are built for one minor version of Python
# (_corvo.cpython-311-...): the package depends on that one, as
# ${python3:Depends} would, so that a newer default python3 replaces it
# instead of leaving it installed and unable to load them.
set(_python python3)
if(CORVO_PYTHON_EXTENSIONS)
  math(EXPR _python_next_minor "${Python3_VERSION_MINOR} + 1")
  set(_python "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${_python_next_minor})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${_own_libs}, ${_python}")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "framework for distributed instrument control - Python package
 The corvo module: a client of the instrument network from Python.")

set(CPACK_DEBIAN_ARCHIVER_PACKAGE_DEPENDS "${_own_libs}")
set(CPACK_COMPONENT_ARCHIVER_DESCRIPTION "framework for distributed instrument control - archiver
 Records the values, logs and status of a site into a history database.")
set(CPACK_DEBIAN_ALARMD_PACKAGE_DEPENDS "${_own_libs}")
set(CPACK_COMPONENT_ALARMD_DESCRIPTION "framework for distributed instrument control - alarm daemon
 Watches a site against alarm rules, runs safety actions and notifies.")
set(CPACK_DEBIAN_WEB_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_WEB_PACKAGE_DEPENDS "python3-corvo ${_exact}, python3-aiohttp, python3-astropy, python3-pil")
set(CPACK_COMPONENT_WEB_DESCRIPTION "framework for distributed instrument control - web console
 A browser console for the devices of a site.")

set(CPACK_STRIP_FILES ON)
# Shared libraries register with ldconfig through a trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_HISTORY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
# Maintainer scripts get their modes from dpkg's rules, not from the sources.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Python modules are byte-compiled when installed and their cache is removed
# before removal, as dh_python3 does (py3compile and py3clean come with
# python3). Otherwise the first root process that imports them writes
# __pycache__ folders that no package owns and that removal leaves behind.
# corvo_python_scripts(<component> <package> <folder> [<private folder>]):
# <folder> holds the package's modules, <private folder> is given for
# modules outside dist-packages.
if(NOT DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
function(corvo_python_scripts component package folder)
  set(py_package ${package})
  set(py_root ${CPACK_PACKAGING_INSTALL_PREFIX}/${folder})
  set(py_compile_args ${package})
  if(ARGN)
    string(APPEND py_compile_args " ${CPACK_PACKAGING_INSTALL_PREFIX}/${ARGN}")
  endif()
  set(_dir ${CMAKE_BINARY_DIR}/packaging/${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/py3compile.postinst.in ${_dir}/postinst @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/py3clean.prerm.in ${_dir}/prerm @ONLY)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${_dir}/postinst ${_dir}/prerm PARENT_SCOPE)
endfunction()
corvo_python_scripts(PYTHON python3-corvo ${CORVO_PYTHON_INSTALL_DIR}/corvo)
corvo_python_scripts(WEB corvo-web ${CMAKE_INSTALL_DATADIR}/corvo/web ${CMAKE_INSTALL_DATADIR}/corvo/web)

# Every package carries the copyright file and a changelog, as Debian asks;
# only for the components this build has (a folder that is not built makes
# no package).
set(_names_runtime ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME})
set(_names_dev libcorvo-dev)
set(_names_corvo corvo)
set(_names_history ${_history})
set(_names_python python3-corvo)
set(_names_archiver corvo-archiver)
set(_names_web corvo-web)
set(_names_alarmd corvo-alarmd)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog)
get_cmake_property(_components COMPONENTS)
foreach(_component IN LISTS _components)
  if(NOT DEFINED _names_${_component})
    message(WARNING "install component '${_component}' has no Debian package name in CorvoPackaging.cmake")
    continue()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION share/doc/${_names_${_component}} COMPONENT ${_component})
endforeach()
include(CPack)
