# SPDX-License-Identifier: GPL-3.0-or-later
# Each library publishes its own headers only, under the folder name sources
# write them with ("link/ConnectionUnit.h"): an include directory in the build
# tree holding a link named after the folder, or links to single files when a
# folder holds more than one library. A folder a target does not link stays
# out of its include path, so an include the folder's README forbids does not
# compile.
#
#   varnel_publish_headers(<target> <folder> [FILES <header>...])
function(varnel_publish_headers target folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "FILES")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_include)
  if(arg_FILES)
    file(MAKE_DIRECTORY ${dir}/${folder})
    foreach(header IN LISTS arg_FILES)
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${dir}/${folder}/${header} SYMBOLIC)
    endforeach()
  else()
    get_filename_component(parent ${dir}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${dir})
endfunction()
