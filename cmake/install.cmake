# What `cmake --install` puts on a Linux system (the release preset, and the
# Debian package built from it by scripts/package.sh): the two programs,
# their man pages (made from docs/cli.md and docs/fwu-devsim.md by
# go-md2man), bash completion, the udev rule for FTDI adapters, and the
# users' docs.
include(GNUInstallDirs)

install(TARGETS fwu fwu-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# udev reads rules shipped by packages from /usr/lib/udev/rules.d; an install
# under /usr/local puts it beside the rest and the README says to link it
# into /etc/udev/rules.d.
set(FWU_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the install prefix")
if(IS_ABSOLUTE "${FWU_UDEV_RULES_DIR}")
  set(fwu_udev_full_dir "${FWU_UDEV_RULES_DIR}")
else()
  set(fwu_udev_full_dir "${CMAKE_INSTALL_PREFIX}/${FWU_UDEV_RULES_DIR}")
endif()

# The docs users get: the README and the pages about what is installed, all
# in the doc dir, their links rewritten for that (cmake/doc-page.cmake). The
# developers' pages (architecture, building, testing, the fault matrix, the
# benchmark and its results, the release kit, which needs the source tree)
# stay in the source tree; a link to one becomes plain text saying so.
set(fwu_doc_sources README.md docs/cli.md docs/operator.md docs/protocol.md docs/serial.md
    docs/fwu-devsim.md)
set(fwu_doc_dir "${CMAKE_CURRENT_BINARY_DIR}/doc")
set(fwu_doc_pages)
foreach(source ${fwu_doc_sources})
  get_filename_component(name "${source}" NAME)
  get_filename_component(from "${source}" DIRECTORY)
  # The man pages' sources name the configured doc dir and udev rule paths.
  set(paths OFF)
  if(source MATCHES "^docs/(cli|fwu-devsim)\\.md$")
    set(paths ON)
  endif()
  add_custom_command(
    OUTPUT "${fwu_doc_dir}/${name}"
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/${source} -DOUT=${fwu_doc_dir}/${name}
            -DFROM=${from} "-DINSTALLED=${fwu_doc_sources}" -DPATHS=${paths}
            -DDOC_DIR=${CMAKE_INSTALL_FULL_DOCDIR} -DUDEV_DIR=${fwu_udev_full_dir}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/doc-page.cmake
    DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/${source}" "${CMAKE_CURRENT_SOURCE_DIR}/cmake/doc-page.cmake"
    COMMENT "Installed page ${name} from ${source}"
    VERBATIM)
  list(APPEND fwu_doc_pages "${fwu_doc_dir}/${name}")
endforeach()
add_custom_target(fwu_doc_pages ALL DEPENDS ${fwu_doc_pages})
install(FILES ${fwu_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The man pages' one source is the docs (as installed): go-md2man's Markdown.
find_program(FWU_GO_MD2MAN go-md2man)
set(fwu_man_dir "${CMAKE_CURRENT_BINARY_DIR}/man")
set(fwu_man_pages)
if(FWU_GO_MD2MAN)
  foreach(page "fwu:cli" "fwu-devsim:fwu-devsim")
    string(REPLACE ":" ";" parts "${page}")
    list(GET parts 0 name)
    list(GET parts 1 source)
    add_custom_command(
      OUTPUT "${fwu_man_dir}/${name}.1.gz"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${fwu_man_dir}"
      COMMAND ${FWU_GO_MD2MAN} -in "${fwu_doc_dir}/${source}.md" -out "${fwu_man_dir}/${name}.1"
      # -n: no name or time in the header, so the package is the same each build.
      COMMAND gzip -9nf "${fwu_man_dir}/${name}.1"
      DEPENDS "${fwu_doc_dir}/${source}.md"
      COMMENT "Man page ${name}(1) from docs/${source}.md"
      VERBATIM)
    list(APPEND fwu_man_pages "${fwu_man_dir}/${name}.1.gz")
  endforeach()
  add_custom_target(fwu_man_pages ALL DEPENDS ${fwu_man_pages})
  install(FILES ${fwu_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "go-md2man not found: no man pages are built or installed "
                  "(apt-get install go-md2man)")
endif()

install(FILES packaging/fwu.bash-completion RENAME fwu
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES packaging/fwu-devsim.bash-completion RENAME fwu-devsim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES packaging/60-fwu.rules DESTINATION ${FWU_UDEV_RULES_DIR})
