# Each C++ header compiles on its own, and including it leaves no macro behind but include guards and
# ZKDICT_* names: the C headers' TRUE, FALSE, Allocate(size, old), NOID, ... would break ordinary C++
# code (a member named Allocate, an enumerator TRUE). Macros of the system headers the layer and the C
# headers need are measured as a baseline and do not count.
#   cmake -DCXX=... -DSOURCE_DIR=... -DVERSION_DIR=... -DWORK=... -P cpp_headers_test.cmake
file(MAKE_DIRECTORY ${WORK})
set(flags -std=c++20 -I${SOURCE_DIR} -I${VERSION_DIR})

function(macros out source)
  execute_process(COMMAND ${CXX} ${flags} -E -dM ${source} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "preprocessing ${source} failed:\n${err}")
  endif()
  string(REGEX MATCHALL "#define [A-Za-z_][A-Za-z0-9_]*" defs "${text}")
  list(TRANSFORM defs REPLACE "#define " "")
  set(${out} ${defs} PARENT_SCOPE)
endfunction()

set(baseline_includes "")
foreach(h bit cerrno concepts cstddef cstdint cstring exception functional iterator memory optional ranges span
          stdexcept string string_view system_error type_traits utility vector pthread.h stdio.h stddef.h stdint.h
          fcntl.h sys/stat.h unistd.h)
  string(APPEND baseline_includes "#include <${h}>\n")
endforeach()
file(WRITE ${WORK}/baseline.cpp "${baseline_includes}")
macros(baseline ${WORK}/baseline.cpp)

file(GLOB headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/zkdict/*.hpp)
set(failed "")
foreach(header ${headers})
  get_filename_component(name ${header} NAME_WE)
  # Ordinary code that the C macros would break, after the header.
  file(WRITE ${WORK}/${name}.cpp "${baseline_includes}#include \"${header}\"
struct Pool { void* Allocate(int size, void* old); };
enum class Answer { TRUE, FALSE };
int NOID = 1, UnAllocate = 2;
int main() { return Answer::TRUE == Answer::FALSE; }
")
  execute_process(COMMAND ${CXX} ${flags} -Wall -Wextra -Werror -fsyntax-only ${WORK}/${name}.cpp
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(APPEND failed "${header} does not compile alone or breaks ordinary code:\n${err}")
  endif()
  file(WRITE ${WORK}/${name}_macros.cpp "${baseline_includes}#include \"${header}\"\n")
  macros(defined ${WORK}/${name}_macros.cpp)
  list(REMOVE_ITEM defined ${baseline})
  list(FILTER defined EXCLUDE REGEX "^ZKDICT_|^ZKLIB_ZKLIB_H$")
  if(defined)
    list(APPEND failed "${header} leaves macros defined: ${defined}")
  endif()
endforeach()
if(failed)
  string(REPLACE ";" "\n" failed "${failed}")
  message(FATAL_ERROR "${failed}")
endif()
list(LENGTH headers n)
message(STATUS "${n} C++ headers: self-contained, no macro left behind")
