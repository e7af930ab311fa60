# Each family of libzkdict is a link unit of its own: an object library that sees its own headers,
# the headers its declared dependencies export, the base layer and nothing else. It compiles against
# a directory of links made for it alone (units/<unit>/dict/...), not against the source tree, so an
# include of another family's internals fails to compile instead of quietly coupling the two.

set(ZK_UNITS)
set(ZK_UNIT_SOURCES)

# zk_unit(name [SOURCES pattern...] HEADERS pattern... [EXPORTS pattern...] [DEPS unit...])
# Patterns are file names or globs in dict/. HEADERS are what the unit's own sources may include,
# EXPORTS the part of them its dependents may (all of HEADERS when absent). Every unit sees what the
# base unit exports; the headers of a dependency's own dependencies stay out of view. A unit without
# SOURCES is headers only and makes no library.
function(zk_unit name)
  cmake_parse_arguments(U "" "" "SOURCES;HEADERS;EXPORTS;DEPS" ${ARGN})
  if(NOT DEFINED U_EXPORTS)
    set(U_EXPORTS ${U_HEADERS})
  endif()
  foreach(part SOURCES HEADERS EXPORTS)
    set(files)
    foreach(pattern ${U_${part}})
      file(GLOB found CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/dict ${PROJECT_SOURCE_DIR}/dict/${pattern})
      if(NOT found)
        message(FATAL_ERROR "unit ${name}: nothing in dict/ matches ${pattern}")
      endif()
      list(APPEND files ${found})
    endforeach()
    set(${part} ${files})
  endforeach()

  set(visible ${HEADERS})
  if(NOT name STREQUAL "base")
    list(PREPEND U_DEPS base)
  endif()
  foreach(dep ${U_DEPS})
    get_property(known GLOBAL PROPERTY ZK_UNIT_EXPORTS_${dep} SET)
    if(NOT known)
      message(FATAL_ERROR "unit ${name}: unknown dependency ${dep} (declare it first)")
    endif()
    get_property(dep_exports GLOBAL PROPERTY ZK_UNIT_EXPORTS_${dep})
    list(APPEND visible ${dep_exports})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY ZK_UNIT_EXPORTS_${name} ${EXPORTS})
  if(NOT SOURCES)
    return()
  endif()

  # Remade at every configure, so that a header that leaves a unit's list leaves its view too.
  set(view ${PROJECT_BINARY_DIR}/units/${name})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view}/dict)
  foreach(header ${visible})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/dict/${header} ${view}/dict/${header} SYMBOLIC)
  endforeach()
  foreach(dir zklib util)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${dir} ${view}/${dir} SYMBOLIC)
  endforeach()

  list(TRANSFORM SOURCES PREPEND ${PROJECT_SOURCE_DIR}/dict/)
  add_library(zk_unit_${name} OBJECT ${SOURCES})
  # The view's own prefix map comes last so that it wins: a header reached through the view is
  # named dict/<header> in assertions, as the rest of the library names its sources.
  target_compile_options(zk_unit_${name} PRIVATE ${ZK_WARNINGS} ${ZK_PREFIX_MAP} "-fmacro-prefix-map=${view}/="
                         -include ${PROJECT_SOURCE_DIR}/zklib/zklib_bind.h)
  target_include_directories(zk_unit_${name} PRIVATE ${view} ${PROJECT_BINARY_DIR}/include)
  target_link_libraries(zk_unit_${name} PRIVATE Threads::Threads)
  set(ZK_UNITS ${ZK_UNITS} ${name} PARENT_SCOPE)
  set(ZK_UNIT_SOURCES ${ZK_UNIT_SOURCES} ${SOURCES} PARENT_SCOPE)
endfunction()

# The base every family may use: files written whole or not at all, unaligned loads, huge pages,
# the version.
zk_unit(base SOURCES atomic_file.cpp zkdict_version.cpp HEADERS atomic_file.h byte_loads.h huge_pages.h)
# The node array and searches both ordered trees are built on.
zk_unit(tree_nodes HEADERS node_array.h)
# The probing, entry coding and hashing both packed tables are built on.
zk_unit(table_engine SOURCES table_engine.cpp HEADERS table_engine.h entry_codec.h hashentry.h)

zk_unit(hashdict SOURCES hashdict*.cpp HEADERS hashdict*.h bitarray.h EXPORTS hashdict.h)
zk_unit(hashtable SOURCES hashtable*.cpp HEADERS hashtable*.h EXPORTS hashtable.h DEPS table_engine)
zk_unit(hashdeltable SOURCES hashdeltable*.cpp HEADERS hashdeltable*.h EXPORTS hashdeltable.h DEPS table_engine)
zk_unit(idmap SOURCES idmap*.cpp HEADERS idmap*.h EXPORTS idmap.h)
zk_unit(avl SOURCES avldict.cpp HEADERS avl_tree.h avldict.h avlldict.h
        EXPORTS avldict.h avlldict.h DEPS tree_nodes)
zk_unit(rbdict SOURCES rbdict.cpp HEADERS rbdict.h DEPS tree_nodes)
zk_unit(attrdict SOURCES attrdict*.cpp HEADERS attrdict*.h EXPORTS attrdict.h)
# The cache keeps its index in the 64-bit AVL tree and reaches it only through the tree's calls.
zk_unit(cache SOURCES zkcache*.cpp HEADERS zkcache*.h lock_guard.h EXPORTS zkcache.h DEPS avl)

# A source nobody claims would silently drop out of the library.
file(GLOB zk_all_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/dict/*.cpp)
list(REMOVE_ITEM zk_all_sources ${ZK_UNIT_SOURCES})
if(zk_all_sources)
  message(FATAL_ERROR "no unit claims ${zk_all_sources}: add it to one in cmake/units.cmake")
endif()
