# What `cmake --install` puts under the prefix: the programs that are part of
# this build, their manual pages and references, and the notices that go with
# them. Tests, benchmarks and the test plug-ins are build products only and
# never installed.

# Debian looks for a package's documents under its own name.
set(CMAKE_INSTALL_DOCDIR "share/doc/wrenfield-native"
    CACHE PATH "Documentation root (DOCDIR)")
include(GNUInstallDirs)
# Directories made by the install are world-readable, as Debian expects of a
# package's tree whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Manual pages and the changelog are installed compressed with gzip -9n (no
# name or time stamp in the header), the form Debian asks for, so the package
# is the same from one build to the next.
function(wf_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n < '${source}' > '${output}'"
    DEPENDS ${source}
    COMMENT "Compressing ${source}"
    VERBATIM)
endfunction()

set(wf_installed_docs)
foreach(program audio-bridge plugin-host plugin-host-scanner audio-capture)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    wf_gzip(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${page})
    list(APPEND wf_installed_docs ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # The scanner is part of plugin-host and documented in its reference.
    if(EXISTS ${PROJECT_SOURCE_DIR}/docs/${program}.md)
      install(FILES ${PROJECT_SOURCE_DIR}/docs/${program}.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
  endif()
endforeach()

set(changelog ${CMAKE_BINARY_DIR}/man/changelog.gz)
wf_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${changelog})
list(APPEND wf_installed_docs ${changelog})
add_custom_target(wf_installed_docs ALL DEPENDS ${wf_installed_docs})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
