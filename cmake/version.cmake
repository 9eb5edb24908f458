# Writes the tool's version, from git, into a header, rewriting it only when
# the text changes (so an unchanged tree rebuilds nothing).
#   cmake -DSOURCE_DIR=... -DOUT=.../fwu_version.h -DFALLBACK=0.1.0 -P version.cmake
set(version "${FALLBACK}")
find_package(Git QUIET)
if(GIT_FOUND)
  # A release tag (v1.2.0, or v1.2.0-3-gabc1234 after it) when there is one,
  # else the fallback with the commit: 0.1.0-gabc1234[-dirty].
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --tags --match "v[0-9]*" --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE described RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed AND described)
    string(REGEX REPLACE "^v" "" version "${described}")
  else()
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --abbrev=7
      WORKING_DIRECTORY "${SOURCE_DIR}"
      OUTPUT_VARIABLE described RESULT_VARIABLE failed
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND described)
      set(version "${FALLBACK}-g${described}")
    endif()
  endif()
endif()
set(text "// Generated at build time from git. Do not edit.\n#define FWU_VERSION \"${version}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUT}" "${text}")
endif()
