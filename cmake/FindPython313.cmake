# Picks the Python 3.13 interpreter to build against, so that the default
# python3 of the machine (often another minor version) is never used.
# Order: an explicit -DPython_EXECUTABLE=, the PYTHON environment variable,
# a working python3.13 on PATH, then the pyenv and system installations.
if(NOT Python_EXECUTABLE AND DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  set(Python_EXECUTABLE "$ENV{PYTHON}" CACHE FILEPATH "Python 3.13 interpreter")
endif()

if(NOT Python_EXECUTABLE)
  file(GLOB _pyenv_313 "/root/.pyenv/versions/3.13.*/bin/python3.13"
                       "$ENV{HOME}/.pyenv/versions/3.13.*/bin/python3.13")
  list(SORT _pyenv_313 COMPARE NATURAL ORDER DESCENDING)
  find_program(_path_313 NAMES python3.13 NO_CACHE)
  foreach(_candidate IN LISTS _path_313 _pyenv_313 /usr/bin/python3.13 /usr/local/bin/python3.13)
    if(NOT _candidate OR NOT EXISTS "${_candidate}")
      continue()
    endif()
    # A pyenv shim on PATH exists but may refuse to run; ask it for its version.
    execute_process(
      COMMAND "${_candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
      OUTPUT_VARIABLE _version OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _rc ERROR_QUIET)
    if(_rc EQUAL 0 AND _version STREQUAL "3.13")
      set(Python_EXECUTABLE "${_candidate}" CACHE FILEPATH "Python 3.13 interpreter")
      break()
    endif()
  endforeach()
endif()

if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "No working Python 3.13 found; pass -DPython_EXECUTABLE=/path/to/python3.13")
endif()
