# The Debian package: `cpack -G DEB` in the build directory (or
# scripts/build-package.sh) writes scanlantern_<version>_<arch>.deb.
# It holds the files of every installation below /opt/scanlantern, the
# systemd unit in /lib/systemd/system, tree as a link to the system's
# program (a dependency), and the Debian documentation. data/ and log/ are
# not in it: the postinst creates them and the settings files
# (packaging/postinst), so that removing the package never touches them and
# only a purge deletes them.
set(SL_PACKAGE_MAINTAINER "ScanLantern developers <scanlantern@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(SL_PACKAGE_PREFIX /opt/scanlantern)

set(sl_pkg_dir ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${sl_pkg_dir})
file(READ ${PROJECT_SOURCE_DIR}/scripts/scanlantern.service.in sl_unit)
string(REPLACE "@PREFIX@" "${SL_PACKAGE_PREFIX}" sl_unit "${sl_unit}")
file(WRITE ${sl_pkg_dir}/scanlantern.service "${sl_unit}")

install(FILES ${sl_pkg_dir}/scanlantern.service DESTINATION /lib/systemd/system
        COMPONENT Deb EXCLUDE_FROM_ALL)
install(FILES packaging/copyright DESTINATION /usr/share/doc/scanlantern
        COMPONENT Deb EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME scanlantern COMPONENT Deb EXCLUDE_FROM_ALL)
install(CODE "file(CREATE_LINK /usr/bin/tree \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/tree\" SYMBOLIC)"
        COMPONENT Deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME scanlantern)
set(CPACK_PACKAGE_VERSION ${SL_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${SL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "log file watcher that mails or runs a command on search words")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ScanLantern watches text files, typically logs, for search words. When
appended lines hold the words of an entry often enough, it mails a
notification and runs a configured command. It is managed from a browser
on TCP port 4009 (Shift_JIS pages, EUC-JP settings) and answers discovery
queries of a management console on UDP port 4009.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS tree)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${SL_PACKAGE_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${SL_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};ScanLantern;Unspecified;/"
    "${CMAKE_BINARY_DIR};ScanLantern;Deb;/")
# The changelog names the version, which `cpack -D CPACK_PACKAGE_VERSION=...`
# may change, so it is written into the staged tree right before packaging.
set(CPACK_SL_CHANGELOG_IN ${PROJECT_SOURCE_DIR}/packaging/changelog.in)
set(CPACK_SL_MAINTAINER ${SL_PACKAGE_MAINTAINER})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/changelog.cmake)
include(CPack)
