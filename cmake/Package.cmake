# What is installed beside the two commands (manual pages, documents) and the Debian package
# that CPack makes of it all (scripts/package builds it and runs lintian on it).

set(TAMBERLO_EXTENSION_IDS "" CACHE STRING
    "Chromium extension IDs the package registers the host for system-wide (;-separated)")
set(TAMBERLO_FIREFOX_IDS "" CACHE STRING
    "Firefox add-on IDs the package registers the host for system-wide (;-separated)")
set(TAMBERLO_HOST_NAME "tamberlo.host" CACHE STRING
    "Host name of the package's system-wide manifests")
set(TAMBERLO_MAINTAINER "tamberlo authors <maintainers@tamberlo.invalid>" CACHE STRING
    "Maintainer field of the package and its changelog")

set(package_stage ${PROJECT_BINARY_DIR}/package)

# gzip -9n: the most compression, and no name or time stamp inside, so that the same input
# gives the same bytes.
function(tamberlo_gzip input output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${input} > ${output} DEPENDS ${input}
                     VERBATIM)
endfunction()

set(gzipped "")
foreach(page tamberlo-host tamberlo-register)
  configure_file(docs/man/${page}.1.in ${package_stage}/${page}.1 @ONLY)
  tamberlo_gzip(${package_stage}/${page}.1 ${package_stage}/${page}.1.gz)
  list(APPEND gzipped ${package_stage}/${page}.1.gz)
  install(FILES ${package_stage}/${page}.1.gz DESTINATION share/man/man1)
endforeach()

# The documents: the upstream changelog is changelog.gz, as Debian names it; the copyright file
# is Debian's machine-readable form around the license's own text.
set(doc_dir share/doc/tamberlo)
foreach(pair "README.md;README.md.gz" "docs/troubleshooting.md;troubleshooting.md.gz"
             "CHANGELOG.md;changelog.gz")
  list(GET pair 0 from)
  list(GET pair 1 to)
  tamberlo_gzip(${PROJECT_SOURCE_DIR}/${from} ${package_stage}/${to})
  list(APPEND gzipped ${package_stage}/${to})
  install(FILES ${package_stage}/${to} DESTINATION ${doc_dir})
endforeach()
file(READ packaging/copyright.head copyright_head)
file(STRINGS LICENSE license_lines)
list(REMOVE_AT license_lines 0 1) # the title and the copyright line, said by the head
set(copyright "${copyright_head}")
foreach(line IN LISTS license_lines)
  if(line STREQUAL "")
    set(line ".")
  endif()
  string(APPEND copyright " ${line}\n")
endforeach()
file(WRITE ${package_stage}/copyright "${copyright}")
install(FILES ${package_stage}/copyright DESTINATION ${doc_dir})

# Debian's own changelog of the package: one entry for the version packaged.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${package_stage}/changelog.Debian
     "tamberlo (${PROJECT_VERSION}-1) unstable; urgency=medium\n\n"
     "  * Package of tamberlo ${PROJECT_VERSION}; changelog.gz says what it brings.\n\n"
     " -- ${TAMBERLO_MAINTAINER}  ${changelog_date}\n")
tamberlo_gzip(${package_stage}/changelog.Debian ${package_stage}/changelog.Debian.gz)
list(APPEND gzipped ${package_stage}/changelog.Debian.gz)
install(FILES ${package_stage}/changelog.Debian.gz DESTINATION ${doc_dir})

add_custom_target(tamberlo_documents ALL DEPENDS ${gzipped})
install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME tamberlo)

# A stripped install (the package's) also drops the compilers' notes, which nothing reads.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program tamberlo-host tamberlo-register)
      execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment --remove-section=.note
                      \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/\${program}
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# Maintainer scripts. Built for callers, the package registers the host for them in every
# browser's system-wide folder when installed; removed, it deletes every system-wide manifest
# that names its host, since the host goes with it.
set(TAMBERLO_CALLER_ARGS "")
foreach(id IN LISTS TAMBERLO_EXTENSION_IDS)
  string(APPEND TAMBERLO_CALLER_ARGS " --extension-id ${id}")
endforeach()
foreach(id IN LISTS TAMBERLO_FIREFOX_IDS)
  string(APPEND TAMBERLO_CALLER_ARGS " --firefox-id ${id}")
endforeach()
string(STRIP "${TAMBERLO_CALLER_ARGS}" TAMBERLO_CALLER_ARGS)
set(TAMBERLO_UPGRADE_REMOVE ":")
set(maintainer_scripts ${package_stage}/prerm)
if(TAMBERLO_CALLER_ARGS)
  set(TAMBERLO_UPGRADE_REMOVE
      "tamberlo-register --system --remove --name ${TAMBERLO_HOST_NAME} ${TAMBERLO_CALLER_ARGS} >/dev/null || true")
  configure_file(packaging/postinst.in ${package_stage}/postinst @ONLY)
  list(APPEND maintainer_scripts ${package_stage}/postinst)
endif()
configure_file(packaging/prerm.in ${package_stage}/prerm @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamberlo)
set(CPACK_PACKAGE_VENDOR "the tamberlo authors")
set(CPACK_PACKAGE_CONTACT "${TAMBERLO_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# GIO (opening and revealing) and libsystemd (the journal) are loaded by the host when it needs
# them, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libglib2.0-0, libsystemd0")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native-messaging host that saves videos into Downloads")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tamberlo-host is started by Chromium, Chrome, Edge, Brave, Vivaldi, Firefox
or LibreWolf for a video-saving browser extension. It saves files into the
user's Downloads folder in resumable chunks, finds a saved file or its
numbered copy, and opens or reveals it on the desktop.
.
tamberlo-register writes the manifests through which browsers find the host,
for the current user or for all users of the machine.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${maintainer_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
