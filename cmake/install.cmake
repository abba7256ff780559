# Where `cmake --install` and the Debian package put brandsim: the program in
# bin, its manual pages and shell completion where man and bash look, and the
# documentation and the sample device image under share/doc/brandsim.
include(GNUInstallDirs)

install(TARGETS brandsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/brandsim.1 docs/man/brandsim-lint.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES docs/man/brandsim-delivery.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
# bash-completion loads a command's completion on first use from a file
# named after the command.
install(FILES tools/brandsim/completion.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME brandsim)
# The documents keep their places in the source tree, so that the links
# between them hold where they are installed.
set(BRANDINST_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/brandsim)
install(FILES README.md DESTINATION ${BRANDINST_DOCDIR})
install(FILES docs/delivery.md docs/report.png DESTINATION ${BRANDINST_DOCDIR}/docs)
install(FILES tools/lint/README.md DESTINATION ${BRANDINST_DOCDIR}/tools/lint)
install(FILES examples/README.md DESTINATION ${BRANDINST_DOCDIR}/examples)
install(DIRECTORY examples/device DESTINATION ${BRANDINST_DOCDIR}/examples)

# `cpack -G DEB` in the build folder: a package that `apt-get install
# ./brandsim_VERSION_ARCH.deb` installs with its runtime libraries.
set(CPACK_PACKAGE_NAME brandsim)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "brandinst")
set(CPACK_PACKAGE_CONTACT "brandinst developers <brandinst@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Windows CE branding installer run against an emulated device image")
set(CPACK_PACKAGE_DESCRIPTION
    "brandsim runs the branding installer of a Windows CE handheld, the device
program's own code, against an emulated device image in a folder, and shows
what it does: a transcript, a JSON Lines journal, the changes to the image
and an HTML report. `brandsim lint` checks a branding delivery the way the
device reads it, and `brandsim package` shows what a CE package installs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime libraries by package name: dpkg-shlibdeps (dpkg-dev) reads
# them off the program; without it, the libraries brandsim links, named.
find_program(BRANDINST_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BRANDINST_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, libmspack0")
endif()
include(CPack)
