# Run by CPack after staging the package's files: writes
# usr/share/doc/scanlantern/changelog.gz (gzip -9n, as Debian wants it) for
# the version being packaged, next to the staged copyright file.
file(GLOB_RECURSE copyright "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/usr/share/doc/scanlantern/copyright")
if(NOT copyright)
  file(GLOB_RECURSE copyright "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/scanlantern/copyright")
endif()
list(LENGTH copyright found)
if(NOT found EQUAL 1)
  message(FATAL_ERROR "staged copyright file not found below ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
get_filename_component(doc_dir "${copyright}" DIRECTORY)

set(SL_PACKAGE_VERSION "${CPACK_PACKAGE_VERSION}")
set(SL_PACKAGE_MAINTAINER "${CPACK_SL_MAINTAINER}")
string(TIMESTAMP SL_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CPACK_SL_CHANGELOG_IN}" "${doc_dir}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${doc_dir}/changelog" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${doc_dir}/changelog")
endif()
file(CHMOD "${doc_dir}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
