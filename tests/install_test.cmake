# Installs the build into a staging prefix, then proves the installed package works for clients:
# a C11 program compiled as C with the flags pkg-config gives, a C++ program configured with
# find_package(zkdict), and the tool started with an empty environment. Run by CTest with BUILD_DIR,
# SOURCE_DIR, C_COMPILER, CXX_COMPILER, SANITIZE, LIBRARY_TYPE (SHARED or STATIC), VERSION and
# TOOL_RUN_PATH (whether the installed tool carries a run path to the libraries).
set(stage "${BUILD_DIR}/stage")
file(REMOVE_RECURSE "${stage}")

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/run.cmake)

zk_run(run_out ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${stage}")

# The installed tool finds its libraries by itself, from wherever the prefix is: no LD_LIBRARY_PATH,
# no environment at all. A build for a prefix whose library directory the system searches anyway
# (/usr) installs no run path, and its tool is for that prefix only.
if(TOOL_RUN_PATH OR LIBRARY_TYPE STREQUAL "STATIC")
  zk_run(run_out env -i "${stage}/bin/zkdict" --version)
  if(NOT run_out STREQUAL "zkdict ${VERSION}\n")
    message(FATAL_ERROR "the installed zkdict --version printed \"${run_out}\"")
  endif()
else()
  message(STATUS "built for a system library directory: the installed tool carries no run path")
endif()

file(GLOB_RECURSE pc "${stage}/*/pkgconfig/zkdict.pc")
get_filename_component(pcdir "${pc}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
zk_run(run_out pkg-config --variable=libdir zkdict)
string(STRIP "${run_out}" libdir)
zk_run(run_out pkg-config --cflags zkdict)
string(STRIP "${run_out}" cflags)
# Static libraries bring their own dependencies, the C++ runtime among them, through --static.
set(static)
if(LIBRARY_TYPE STREQUAL "STATIC")
  set(static --static)
endif()
zk_run(run_out pkg-config --libs ${static} zkdict)
string(STRIP "${run_out}" libs)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
separate_arguments(libs UNIX_COMMAND "${libs}")
set(san)
if(SANITIZE)
  set(san -fsanitize=${SANITIZE})
endif()
zk_run(run_out ${C_COMPILER} -std=c11 -pedantic -Wall -Wextra -Werror ${san} ${cflags}
    "${SOURCE_DIR}/c_client_test.c" -o "${stage}/c_client_test" ${libs} "-Wl,-rpath,${libdir}")
zk_run(run_out "${stage}/c_client_test")
message(STATUS "${run_out}")

# The CMake package, from a C++ consumer.
set(consumer "${stage}/consumer")
file(MAKE_DIRECTORY "${consumer}")
file(WRITE "${consumer}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
find_package(zkdict 1 REQUIRED)
add_executable(consumer main.cpp)
target_compile_options(consumer PRIVATE -Wall -Wextra -Werror ${san})
target_link_options(consumer PRIVATE ${san})
target_link_libraries(consumer PRIVATE zkdict::zkdict)
")
# The C header first: the C++ layer removes the macros it brought in (TRUE, FALSE, ...), and keeps
# those the program had already. That the C++ headers compile alone is cpp_headers_alone's to show.
file(WRITE "${consumer}/main.cpp" "#include \"dict/hashtable.h\"
#include \"zkdict/zkdict.hpp\"
#include <array>
#include <cstdio>
int main() {
    HashTable* t = HashTableNew(0, nullptr, nullptr, nullptr, 8, 0, FALSE);
    bool ok = HashTableFind(t, \"key\", 3, TRUE, nullptr, nullptr) != nullptr &&
              HashTableFind(t, \"key\", 3, FALSE, nullptr, nullptr) != nullptr && HashTableSize(t) == 1;
    HashTableFree(t);
    const std::array<const char*, 3> fruit{\"apple\", \"pear\", \"plum\"};
    const auto dict = zkdict::HashDict::build(fruit, {.check_bytes = 2});
    ok = ok && dict.find(\"pear\") == std::optional<zkdict::Id>(1) && !dict.find(\"kiwi\");
    std::puts(ok ? \"consumer ok\" : \"consumer failed\");
    return ok ? 0 : 1;
}
")
zk_run(run_out ${CMAKE_COMMAND} -S "${consumer}" -B "${consumer}/build" "-DCMAKE_PREFIX_PATH=${stage}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_BUILD_RPATH=${libdir}")
zk_run(run_out ${CMAKE_COMMAND} --build "${consumer}/build")
zk_run(run_out "${consumer}/build/consumer")
message(STATUS "${run_out}")
