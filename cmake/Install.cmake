# One complete installation below the prefix:
#   bin/ScanLanternService, bin/scanlantern (start script), bin/tree,
#   bin/scanlantern-console (the console for the command line),
#   bin/scanlantern-init (prepares data/ and log/ and writes the settings
#   files of a new installation), www/ (the pages),
#   data/ScanLantern.conf, data/env.csv (never overwritten by an upgrade),
#   log/, scanlantern.service (systemd unit for this prefix).
# Install components: the files without a component ("Unspecified") are in
# every installation; "Local" is what `cmake --install` adds on top; "Deb"
# (not installed by default) is what only the Debian package holds, whose
# postinst then does what "Local" does here (cmake/Package.cmake).
find_program(SL_TREE_PROGRAM tree)

install(TARGETS ScanLanternService initial_env scanlantern-console RUNTIME DESTINATION bin)
install(PROGRAMS scripts/scanlantern DESTINATION bin)
install(DIRECTORY DESTINATION www)

install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(DEFINED ENV{DESTDIR})
    set(prefix \"\$ENV{DESTDIR}\${prefix}\")
  endif()

  # The directory-listing program of the web administration.
  if(NOT EXISTS \"${SL_TREE_PROGRAM}\")
    message(FATAL_ERROR \"the tree program is missing: install the Debian package tree\")
  endif()
  file(COPY_FILE \"${SL_TREE_PROGRAM}\" \"\${prefix}/bin/tree\")
  file(CHMOD \"\${prefix}/bin/tree\" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

  # data/ and log/ with their modes; settings files written once, kept on
  # upgrades. The helper prints the fresh login itself.
  execute_process(COMMAND \"\${prefix}/bin/scanlantern-init\" \"\${prefix}\" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR \"could not prepare \${prefix}/data and \${prefix}/log\")
  endif()

  # systemd unit for this prefix.
  file(READ \"${PROJECT_SOURCE_DIR}/scripts/scanlantern.service.in\" unit)
  string(REPLACE \"@PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" unit \"\${unit}\")
  file(WRITE \"\${prefix}/scanlantern.service\" \"\${unit}\")
" COMPONENT Local)

include(cmake/Package.cmake)
