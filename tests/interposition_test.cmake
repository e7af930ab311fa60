# The libraries' own calls cannot be captured by a client's functions of the same names: the client
# built with functions of its own (INTERPOSED) prints exactly what the plain one (PLAIN) prints, and
# libzkdict (ZKDICT) needs no plain name that libzklib (ZKLIB) defines.
# Run by CTest with PLAIN, INTERPOSED, ZKDICT, ZKLIB, NM and READELF.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/run.cmake)

zk_run(plain ${PLAIN})
zk_run(interposed ${INTERPOSED})
if(NOT plain STREQUAL interposed)
  message(FATAL_ERROR "a client's own functions changed the libraries' results:\n"
                      "plain:\n${plain}\nwith functions of the client's:\n${interposed}")
endif()
message(STATUS "${plain}")

execute_process(COMMAND ${NM} -D --defined-only ${ZKLIB} OUTPUT_VARIABLE defined RESULT_VARIABLE rc1)
execute_process(COMMAND ${NM} -D --undefined-only ${ZKDICT} OUTPUT_VARIABLE needed RESULT_VARIABLE rc2)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "nm failed on ${ZKLIB} or ${ZKDICT}")
endif()
string(REGEX MATCHALL "[A-Za-z][A-Za-z0-9_]*\n" defined "${defined}")
string(REGEX MATCHALL "U [A-Za-z][A-Za-z0-9_]*\n" needed "${needed}")
foreach(line ${needed})
  string(REGEX REPLACE "^U ([A-Za-z0-9_]+)\n$" "\\1" name "${line}")
  list(FIND defined "${name}\n" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "libzkdict calls libzklib's ${name} by its plain name: add it to zklib/zklib_bind.h")
  endif()
endforeach()

# Inside each library, calls to its own exported functions are bound when it is linked: no dynamic
# relocation names a function the library defines itself.
foreach(library ${ZKLIB} ${ZKDICT})
  execute_process(COMMAND ${NM} -D --defined-only ${library} OUTPUT_VARIABLE own)
  execute_process(COMMAND ${READELF} -rW ${library} OUTPUT_VARIABLE relocations RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${library}")
  endif()
  string(REGEX MATCHALL "[TW] [A-Za-z_][A-Za-z0-9_]*\n" own "${own}")
  foreach(line ${own})
    string(REGEX REPLACE "^[TW] ([A-Za-z0-9_]+)\n$" "\\1" name "${line}")
    if(relocations MATCHES " ${name}( |\n)")
      message(FATAL_ERROR "${library} reaches its own ${name} through a dynamic relocation")
    endif()
  endforeach()
endforeach()
