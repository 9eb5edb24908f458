# The fault matrix's results: each cell of fault_matrix_tests leaves one line
# in DIR; this script clears them before a run (MODE=clear) and gathers them
# into one table, OUT, after it (MODE=table), printing the table and a count
# of runs, outcomes, bytes compared and mismatches.
#
#   cmake -DMODE=clear -DDIR=<dir> -P fault_matrix_table.cmake
#   cmake -DMODE=table -DDIR=<dir> -DOUT=<file> -P fault_matrix_table.cmake

if(NOT DIR)
  message(FATAL_ERROR "DIR not given")
endif()

if(MODE STREQUAL "clear")
  file(MAKE_DIRECTORY "${DIR}")
  file(GLOB old "${DIR}/*.line")
  if(old)
    file(REMOVE ${old})
  endif()
  return()
endif()

if(NOT MODE STREQUAL "table" OR NOT OUT)
  message(FATAL_ERROR "MODE=clear, or MODE=table with OUT")
endif()

file(GLOB lines "${DIR}/*.line")
list(SORT lines)
set(header "fault     targets                              size  outcome     compared  mism.  seconds")
set(table "${header}\n")
set(runs 0)
set(done 0)
set(failed 0)
set(other 0)
set(compared 0)
set(mismatched 0)
set(seconds 0)
foreach(path IN LISTS lines)
  file(READ "${path}" line)
  string(STRIP "${line}" line)
  string(APPEND table "${line}\n")
  string(REGEX REPLACE " +" ";" fields "${line}")
  # Counted from the end, whatever the targets column holds.
  list(GET fields -4 outcome)
  list(GET fields -3 bytes)
  list(GET fields -2 differ)
  list(GET fields -1 secs)
  math(EXPR runs "${runs} + 1")
  if(outcome STREQUAL "Done")
    math(EXPR done "${done} + 1")
  elseif(outcome STREQUAL "Failed")
    math(EXPR failed "${failed} + 1")
  else()
    math(EXPR other "${other} + 1")
  endif()
  math(EXPR compared "${compared} + ${bytes}")
  math(EXPR mismatched "${mismatched} + ${differ}")
  # Whole tenths of a second, summed without floating point.
  string(REPLACE "." "" tenths "${secs}")
  math(EXPR seconds "${seconds} + ${tenths}")
endforeach()
math(EXPR whole "${seconds} / 10")
math(EXPR tenth "${seconds} % 10")
set(summary "${runs} runs: ${done} Done, ${failed} Failed, ${other} unfinished; ${compared} bytes of flash compared, ${mismatched} mismatched; ${whole}.${tenth} s of updates in all")
string(APPEND table "${summary}\n")
file(WRITE "${OUT}" "${table}")
message("${table}(table written to ${OUT})")
