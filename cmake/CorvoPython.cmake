# The Python interpreter and where the Python package goes, in one place for
# every folder that builds, installs or tests a part of the package.
#
#   Python3_EXECUTABLE        the interpreter (cache; default Debian's
#                             /usr/bin/python3)
#   CORVO_PYTHON_INSTALL_DIR  install folder of the package `corvo`, relative
#                             to the prefix (cache; default
#                             lib/python3/dist-packages)
#   CORVO_PYTHON_DIR          the build tree's importable folder (put it on
#                             PYTHONPATH); the package is its corvo/
#   CORVO_PYTHON_EXTENSIONS   true when the compiled modules are built:
#                             CORVO_BUILD_PYTHON, the interpreter's
#                             development files and pybind11 found, and no
#                             sanitizer build (a sanitizer-built module would
#                             need the runtime preloaded into Python)
#
# Included once by the top-level CMakeLists.txt, so that the imported targets
# are seen by every folder.
set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Interpreter the Python package is built for")
set(CORVO_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python package is installed, relative to the prefix")
set(CORVO_PYTHON_DIR ${PROJECT_BINARY_DIR}/python)

set(CORVO_PYTHON_EXTENSIONS FALSE)
if(CORVO_BUILD_PYTHON)
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  find_package(pybind11 CONFIG QUIET)
  if(NOT Python3_FOUND)
    message(STATUS "corvo: no Python 3 development files; the Python package is not built")
  elseif(NOT pybind11_FOUND)
    message(STATUS "corvo: pybind11 not found; the Python package is not built")
  elseif(CORVO_SANITIZE)
    message(STATUS "corvo: sanitizer build; the Python package is not built")
  else()
    set(CORVO_PYTHON_EXTENSIONS TRUE)
    message(STATUS "corvo: Python package for ${Python3_EXECUTABLE} (${Python3_VERSION})")
  endif()
else()
  find_package(Python3 COMPONENTS Interpreter)
endif()
