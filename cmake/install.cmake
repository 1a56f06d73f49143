# What `cmake --install` puts under the prefix: the programs that are part of
# this build and the notices that go with them. Tests, benchmarks and the test
# plug-ins are build products only and never installed.

# Debian looks for a package's documents under its own name.
set(CMAKE_INSTALL_DOCDIR "share/doc/wrenfield-native"
    CACHE PATH "Documentation root (DOCDIR)")
include(GNUInstallDirs)

foreach(program audio-bridge plugin-host plugin-host-scanner audio-capture)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
