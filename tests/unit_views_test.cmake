# A family compiles against a view that holds its own headers and what its declared dependencies
# export, so including another family's internals fails the build. Checked on the cache, the one
# family with a dependency: through its view it reaches the 64-bit tree's header, and neither the
# tree's template nor the node array behind it.
#   cmake -DCXX=... -DUNITS=<build>/units -DVERSION_DIR=... -DWORK=... -P unit_views_test.cmake
file(MAKE_DIRECTORY ${WORK})

function(compiles out view header)
  file(WRITE ${WORK}/probe.cpp "#include \"${header}\"\n")
  execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${UNITS}/${view} -I${VERSION_DIR} ${WORK}/probe.cpp
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(rc EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  elseif(err MATCHES "No such file")
    set(${out} FALSE PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${header} through the ${view} view failed for another reason:\n${err}")
  endif()
endfunction()

foreach(header dict/zkcache.h dict/zkcache_internal.h dict/avlldict.h dict/huge_pages.h zklib/zklib.h)
  compiles(ok cache ${header})
  if(NOT ok)
    message(FATAL_ERROR "the cache's view lacks ${header}")
  endif()
endforeach()
foreach(header dict/avl_tree.h dict/node_array.h dict/hashtable_internal.h dict/idmap_internal.h)
  compiles(ok cache ${header})
  if(ok)
    message(FATAL_ERROR "the cache's view reaches ${header}, which no dependency of it exports")
  endif()
endforeach()
