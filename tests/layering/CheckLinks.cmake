# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that a program needs none of the named shared libraries: its
# dynamic section, as readelf shows it, names none of them.
#
#   cmake -DREADELF=... -DPROGRAM=path -DFORBIDDEN=name|name|... -P CheckLinks.cmake
execute_process(COMMAND ${READELF} -d ${PROGRAM}
  RESULT_VARIABLE result OUTPUT_VARIABLE dynamic ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${PROGRAM}:\n${errors}")
endif()
if(NOT dynamic MATCHES "\\(NEEDED\\)")
  message(FATAL_ERROR "${PROGRAM} shows no needed library; the check would prove nothing")
endif()
string(REPLACE "|" ";" forbidden "${FORBIDDEN}")
foreach(library IN LISTS forbidden)
  if(dynamic MATCHES "Shared library: \\[${library}[.]so")
    message(FATAL_ERROR "${PROGRAM} links ${library}, and should not")
  endif()
endforeach()
