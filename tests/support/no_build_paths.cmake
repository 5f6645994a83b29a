# Fails when a program names a folder of the build machine outside its debug
# information: a path like /var/cache/... is C:\var\cache\... on Windows, a
# folder any user may create, and a library that looks there for its
# configuration or modules runs what a user put there.
#   cmake -DOBJCOPY=... -DPROGRAMS=a.exe,b.exe -DSCRATCH=dir -P no_build_paths.cmake
string(REPLACE "," ";" _programs "${PROGRAMS}")
file(MAKE_DIRECTORY "${SCRATCH}")
set(_bad 0)
foreach(_p ${_programs})
  get_filename_component(_n "${_p}" NAME)
  set(_copy "${SCRATCH}/${_n}.nodebug")
  execute_process(COMMAND "${OBJCOPY}" --strip-debug "${_p}" "${_copy}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${OBJCOPY} could not read ${_p}")
  endif()
  file(STRINGS "${_copy}" _hits REGEX "/var/cache|/var/tmp|/tmp/|\\.stage-|ossl-modules|engines-3|/usr/local")
  file(REMOVE "${_copy}")
  if(_hits)
    list(LENGTH _hits _count)
    list(SUBLIST _hits 0 3 _shown)
    message(SEND_ERROR "${_p} names ${_count} build path(s), for example: ${_shown}")
    set(_bad 1)
  else()
    message(STATUS "${_n}: no build path")
  endif()
endforeach()
if(_bad)
  message(FATAL_ERROR "a program names a folder of the build machine")
endif()
