cmake_minimum_required(VERSION 3.21)
# Writes a page of the docs as it is installed: all in one directory (the
# doc dir), so a link to another installed page becomes that page's name, and
# a link to a page or file that is not installed becomes plain text saying
# where it is in the source tree. With PATHS set (the man pages' sources),
# the doc dir and udev rule paths the page names are the configured ones.
#   cmake -DIN=docs/cli.md -DOUT=... -DFROM=docs -DINSTALLED="README.md;docs/cli.md;..."
#         [-DPATHS=ON -DDOC_DIR=/usr/share/doc/fwu -DUDEV_DIR=/usr/lib/udev/rules.d]
#         -P doc-page.cmake
# FROM is IN's directory relative to the source tree ("" for README.md).
file(READ "${IN}" text)

if(PATHS)
  string(REPLACE "/usr/share/doc/fwu" "${DOC_DIR}" text "${text}")
  string(REPLACE "/usr/lib/udev/rules.d" "${UDEV_DIR}" text "${text}")
endif()

set(link_regex "\\[([^]]*)\\]\\(([^)]*)\\)")
string(REGEX MATCHALL "${link_regex}" links "${text}")
foreach(link IN LISTS links)
  string(REGEX REPLACE "^${link_regex}$" "\\1" label "${link}")
  string(REGEX REPLACE "^${link_regex}$" "\\2" target "${link}")
  if(target MATCHES "^[a-z]+:" OR target MATCHES "^#")
    continue()  # a web address, or a place on this page
  endif()
  string(REGEX REPLACE "#.*$" "" path "${target}")
  string(REGEX MATCH "#.*$" anchor "${target}")
  if(FROM STREQUAL "")
    cmake_path(SET source NORMALIZE "${path}")
  else()
    cmake_path(SET source NORMALIZE "${FROM}/${path}")
  endif()
  if(source IN_LIST INSTALLED)
    cmake_path(GET source FILENAME name)
    if(label STREQUAL path OR label STREQUAL source)
      set(label "${name}")  # the path it names, as installed
    endif()
    set(replacement "[${label}](${name}${anchor})")
  elseif(label STREQUAL path OR label STREQUAL source)
    set(replacement "${label} (in the source tree)")
  else()
    set(replacement "${label} (${source} in the source tree)")
  endif()
  string(REPLACE "${link}" "${replacement}" text "${text}")
endforeach()

file(WRITE "${OUT}" "${text}")
