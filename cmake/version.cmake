# Writes the tool's version, from git, into a header, rewriting it only when
# the text changes (so an unchanged tree rebuilds nothing).
#   cmake -DSOURCE_DIR=... -DOUT=.../fwu_version.h -DFALLBACK=0.1.0 -P version.cmake
set(version "${FALLBACK}")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --tags
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE described
    RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(NOT failed AND described)
    set(version "${FALLBACK}-g${described}")
    if(described MATCHES "^v?[0-9]")
      set(version "${described}")
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
