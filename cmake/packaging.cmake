# A Debian package of everything `cmake --install` puts in place: the program,
# its manual page, and the client library with its header and .pc file.
#   cpack -G DEB   (in the build directory)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME anchorfs)
set(CPACK_PACKAGE_VENDOR "anchorfs")
set(CPACK_PACKAGE_CONTACT "anchorfs maintainers <maintainers@anchorfs.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "one anchored filesystem operation per run, safe against concurrent change")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Programs that link the static client library also need Nettle's.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nettle-dev, pkg-config")
find_program(ANCHORFS_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ANCHORFS_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()
include(CPack)
