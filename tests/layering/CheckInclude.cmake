# SPDX-License-Identifier: GPL-3.0-or-later
# Preprocesses one include with a target's include path and checks the
# outcome: EXPECT "found" (the header is reachable) or "missing" (the
# compiler reports it as not found). Any other failure fails the check, so a
# missing header is told apart from a broken command.
#
#   cmake -DCOMPILER=... -DINCLUDES=dir|dir|... -DHEADER=folder/Header.h
#         -DEXPECT=found|missing -DWORK=dir -P CheckInclude.cmake
string(REPLACE "|" ";" includes "${INCLUDES}")
set(flags -std=c++20 -fPIC -E -o /dev/null)
foreach(dir IN LISTS includes)
  list(APPEND flags -I${dir})
endforeach()
string(MAKE_C_IDENTIFIER "${HEADER}" name)
set(source ${WORK}/${name}.cpp)
file(WRITE ${source} "#include \"${HEADER}\"\n")
execute_process(COMMAND ${COMPILER} ${flags} ${source}
  RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
if(EXPECT STREQUAL "found")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${HEADER} should be reachable:\n${errors}")
  endif()
elseif(result EQUAL 0)
  message(FATAL_ERROR "${HEADER} is reachable, and should not be")
elseif(NOT errors MATCHES "${HEADER}: No such file or directory|'${HEADER}' file not found")
  message(FATAL_ERROR "${HEADER} failed for another reason than not being found:\n${errors}")
endif()
