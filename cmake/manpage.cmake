# Writes the manual page zkdict(1) from the built tool's own help: `zkdict --help` gives the synopsis
# and the description, `zkdict COMMAND --help` a section for each command it lists, so that page and
# tool cannot drift apart. The page is dated by the latest changelog entry, not by the clock, so that
# the same sources give the same bytes.
#   cmake -DTOOL=build/zkdict -DOUTPUT=zkdict.1[.gz] -DCHANGELOG=packaging/changelog [-DGZIP=gzip]
#         -P cmake/manpage.cmake

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

# One line of help as roff text: backslashes shown as such, the hyphens of options as minus signs
# (so that what is copied from the page types the option), and no line taken for a request.
function(roff_escape out line)
  string(REPLACE "\\" "\\e" line "${line}")
  string(REPLACE "--" "\\-\\-" line "${line}")
  string(REGEX REPLACE "([ [(|\"])-" "\\1\\\\-" line " ${line}")
  string(SUBSTRING "${line}" 1 -1 line)
  if(line MATCHES "^[.']")
    set(line "\\&${line}")
  endif()
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

# Prose, with the <placeholders> of the overview in italics.
function(roff_text out line)
  roff_escape(line "${line}")
  string(REGEX REPLACE "<([a-z]+)>" "\\\\fI\\1\\\\fR" line "${line}")
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

# A command or option with its arguments (build KEYS OUT, --check N): the words to type in bold,
# the placeholders in italics.
function(roff_term out term)
  roff_escape(term "${term}")
  string(REGEX REPLACE "([A-Z][A-Z0-9_]*|<[a-z]+>)" "\\\\fI\\1\\\\fB" term "${term}")
  string(REGEX REPLACE "<([a-z]+)>" "\\1" term "${term}")
  set(${out} "\\fB${term}\\fR" PARENT_SCOPE)
endfunction()

# Splits help text into its usage lines (the first, and those under it that start with the tool's
# name) and the rest.
function(split_usage text usage_out rest_out)
  set(usage "")
  while(text MATCHES "^(usage: |       )(zkdict[^\n]*)\n(.*)$")
    roff_term(line "${CMAKE_MATCH_2}")
    string(APPEND usage "${line}\n.br\n")
    set(text "${CMAKE_MATCH_3}")
  endwhile()
  string(REGEX REPLACE "^\n+" "" text "${text}")
  set(${usage_out} "${usage}" PARENT_SCOPE)
  set(${rest_out} "${text}" PARENT_SCOPE)
endfunction()

# The body of a help text as roff: prose is filled into paragraphs, and the lists the help indents
# ("  --check N   store N check bytes", continued further in) become tagged paragraphs.
function(help_body out text)
  set(roff "")
  set(in_list FALSE)
  while(NOT text STREQUAL "")
    string(FIND "${text}" "\n" end)
    if(end EQUAL -1)
      set(line "${text}")
      set(text "")
    else()
      string(SUBSTRING "${text}" 0 ${end} line)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${text}" ${end} -1 text)
    endif()
    if(line STREQUAL "")
      string(APPEND roff ".PP\n")
      set(in_list FALSE)
    elseif(line MATCHES "^  ([^ ].*[^ ])   *([^ ].*)$")
      roff_term(term "${CMAKE_MATCH_1}")
      roff_text(what "${CMAKE_MATCH_2}")
      string(APPEND roff ".TP\n${term}\n${what}\n")
      set(in_list TRUE)
    elseif(line MATCHES "^  ([^ ].*)$")
      roff_term(term "${CMAKE_MATCH_1}")
      string(APPEND roff ".TP\n${term}\n")
      set(in_list TRUE)
    elseif(line MATCHES "^    +([^ ].*)$")
      roff_text(what "${CMAKE_MATCH_1}")
      string(APPEND roff "${what}\n")
    else()
      if(in_list)
        string(APPEND roff ".PP\n")
        set(in_list FALSE)
      endif()
      roff_text(what "${line}")
      string(APPEND roff "${what}\n")
    endif()
  endwhile()
  set(${out} "${roff}" PARENT_SCOPE)
endfunction()

foreach(var TOOL OUTPUT CHANGELOG)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "manpage.cmake needs -D${var}=...")
  endif()
endforeach()

zk_run(version "${TOOL}" --version)
string(STRIP "${version}" version)
file(STRINGS "${CHANGELOG}" trailer REGEX "^ -- " LIMIT_COUNT 1)
if(NOT trailer MATCHES ", ([0-9]+) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "${CHANGELOG}: no dated entry")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1")
string(REGEX REPLACE "^([0-9])$" "0\\1" month ${month})
string(REGEX REPLACE "^([0-9])$" "0\\1" day ${day})

zk_run(help "${TOOL}" --help)
split_usage("${help}" synopsis description)
help_body(description "${description}")

set(page ".\\\" Made by cmake/manpage.cmake from the output of ${version}'s --help; do not edit.
.TH ZKDICT 1 \"${year}-${month}-${day}\" \"${version}\" \"User Commands\"
.SH NAME
zkdict \\- build, query and inspect the dictionary and table files of libzkdict
.SH SYNOPSIS
${synopsis}.SH DESCRIPTION
${description}.SH COMMANDS
")

# Every command the overview lists that has help of its own, in the overview's order.
string(REGEX MATCHALL "\n  [a-z]+" commands "${help}")
list(TRANSFORM commands STRIP)
list(REMOVE_DUPLICATES commands)
foreach(command ${commands})
  execute_process(COMMAND "${TOOL}" ${command} --help RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_QUIET)
  if(NOT rc EQUAL 0 OR NOT text MATCHES "^usage: ")
    continue()
  endif()
  split_usage("${text}" usage body)
  help_body(body "${body}")
  string(APPEND page ".SS ${command}\n${usage}.PP\n${body}")
endforeach()

string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${page}")
if(GZIP AND NOT plain STREQUAL OUTPUT)
  # -n: no name or time stamp in the header, so that the same page compresses to the same bytes.
  execute_process(COMMAND "${GZIP}" -9n -c "${plain}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${GZIP} failed on ${plain}")
  endif()
endif()
