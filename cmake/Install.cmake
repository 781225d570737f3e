# One complete installation below the prefix:
#   bin/ScanLanternService, bin/tree, bin/scanlantern (start script)
#   data/ScanLantern.conf, data/env.csv  (never overwritten by an upgrade)
#   log/ (empty), www/ (the pages), scanlantern.service (systemd unit)
find_program(SL_TREE_PROGRAM tree)

install(TARGETS ScanLanternService RUNTIME DESTINATION bin)
install(PROGRAMS scripts/scanlantern DESTINATION bin)
install(DIRECTORY DESTINATION log)
install(DIRECTORY DESTINATION www)
install(DIRECTORY DESTINATION data)

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

  # Settings files: written once, kept on upgrades.
  set(conf \"\${prefix}/data/ScanLantern.conf\")
  if(NOT EXISTS \"\${conf}\")
    file(WRITE \"\${conf}\" \"\\\"FileName\\\",\\\"SearchString\\\",\\\"SearchCount\\\",\\\"MailAddress\\\",\\\"Command\\\"\\n\")
    message(STATUS \"Installing: \${conf}\")
  else()
    message(STATUS \"Keeping existing \${conf}\")
  endif()
  set(env \"\${prefix}/data/env.csv\")
  if(NOT EXISTS \"\${env}\")
    file(READ /dev/urandom raw LIMIT 12 HEX)
    string(SUBSTRING \"\${raw}\" 0 16 password)
    execute_process(COMMAND \"$<TARGET_FILE:initial_env>\" admin \"\${password}\"
                    OUTPUT_FILE \"\${env}\" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      file(REMOVE \"\${env}\")
      message(FATAL_ERROR \"could not write \${env}\")
    endif()
    file(CHMOD \"\${env}\" PERMISSIONS OWNER_READ OWNER_WRITE)
    message(STATUS \"Installing: \${env}\")
    message(\"\\nScanLantern web administration login (shown once): user admin, password \${password}\\n\")
  else()
    message(STATUS \"Keeping existing \${env}\")
  endif()

  # systemd unit for this prefix.
  file(READ \"${PROJECT_SOURCE_DIR}/scripts/scanlantern.service.in\" unit)
  string(REPLACE \"@PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" unit \"\${unit}\")
  file(WRITE \"\${prefix}/scanlantern.service\" \"\${unit}\")
")
