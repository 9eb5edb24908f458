# What `cmake --install` puts on a Linux system (the release preset, and the
# Debian package built from it by scripts/package.sh): the two programs,
# their man pages (made from docs/cli.md and docs/fwu-devsim.md by
# go-md2man), bash completion, the udev rule for FTDI adapters, and the
# docs.
include(GNUInstallDirs)

install(TARGETS fwu fwu-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The man pages' one source is the docs: written in go-md2man's Markdown.
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
      COMMAND ${FWU_GO_MD2MAN} -in "${CMAKE_CURRENT_SOURCE_DIR}/docs/${source}.md"
              -out "${fwu_man_dir}/${name}.1"
      # -n: no name or time in the header, so the package is the same each build.
      COMMAND gzip -9nf "${fwu_man_dir}/${name}.1"
      DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/docs/${source}.md"
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

# udev reads rules shipped by packages from /usr/lib/udev/rules.d; an install
# under /usr/local puts it beside the rest and the README says to link it
# into /etc/udev/rules.d.
set(FWU_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the install prefix")
install(FILES packaging/60-fwu.rules DESTINATION ${FWU_UDEV_RULES_DIR})

file(GLOB fwu_doc_pages "${CMAKE_CURRENT_SOURCE_DIR}/docs/*.md")
install(FILES README.md ${fwu_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR})
