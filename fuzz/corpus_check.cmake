# Runs a seed-corpus program into a scratch directory and compares what it writes with the committed
# seeds of its families: every file byte for byte, none missing and none extra. Committed files the
# program does not write (inputs kept from fuzzing runs, images made by hand) match the regex KEPT,
# which is matched against paths relative to the corpus, such as hashtable/regress_x.tbl.
#
#   cmake -DPROGRAM=<program> -DCORPUS=<fuzz/corpus> -DSCRATCH=<dir> -DFAMILIES=<a,b,...> -DKEPT=<regex>
#         -P corpus_check.cmake
#
# The scratch directory is left behind when the comparison fails, so that the differences can be
# looked at.
cmake_minimum_required(VERSION 3.25)

foreach(var PROGRAM CORPUS SCRATCH FAMILIES KEPT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "corpus_check.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${SCRATCH})
get_filename_component(parent ${SCRATCH} DIRECTORY)
file(MAKE_DIRECTORY ${parent})
execute_process(COMMAND ${PROGRAM} ${SCRATCH} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ${SCRATCH} failed: ${status}")
endif()

string(REPLACE "," ";" families "${FAMILIES}")
set(committed)
foreach(family ${families})
  file(GLOB names RELATIVE ${CORPUS} ${CORPUS}/${family}/*)
  foreach(name ${names})
    if(NOT name MATCHES "${KEPT}")
      list(APPEND committed ${name})
    endif()
  endforeach()
endforeach()
file(GLOB_RECURSE generated RELATIVE ${SCRATCH} ${SCRATCH}/*)

set(faults)
foreach(name ${generated})
  if(NOT name IN_LIST committed)
    list(APPEND faults "written but not committed: ${name}")
    continue()
  endif()
  file(SHA256 ${SCRATCH}/${name} written)
  file(SHA256 ${CORPUS}/${name} kept)
  if(NOT written STREQUAL kept)
    list(APPEND faults "differs from the committed file: ${name}")
  endif()
endforeach()
foreach(name ${committed})
  if(NOT name IN_LIST generated)
    list(APPEND faults "committed but no longer written: ${name}")
  endif()
endforeach()

if(faults)
  list(LENGTH generated count)
  string(REPLACE ";" "\n  " faults "${faults}")
  message(FATAL_ERROR
    "${PROGRAM} wrote ${count} files into ${SCRATCH}, which do not match ${CORPUS}:\n  ${faults}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
