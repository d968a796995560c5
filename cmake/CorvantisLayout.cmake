# The build folder lays out the same tree as an installation, so the programs run from either: programs in bin/
# or libexec/corvantis/, the extension's manifest in share/corvantis/. Each program finds the tree from its own
# executable.
set(CORVANTIS_TREE_BIN_DIR "${PROJECT_BINARY_DIR}/bin")
set(CORVANTIS_TREE_LIBEXEC_DIR "${PROJECT_BINARY_DIR}/libexec/corvantis")
set(CORVANTIS_TREE_SHARE_DIR "${PROJECT_BINARY_DIR}/share/corvantis")
set(CORVANTIS_EXTENSION_SERVICE_NAME "com.velmar.corvantis.v3.macos.CorvantisExtension")

# corvantis_program(TARGET bin|libexec) puts an executable into bin/ or libexec/corvantis/ of the build tree.
function(corvantis_program target kind)
  if(kind STREQUAL "bin")
    set(dir "${CORVANTIS_TREE_BIN_DIR}")
  elseif(kind STREQUAL "libexec")
    set(dir "${CORVANTIS_TREE_LIBEXEC_DIR}")
  else()
    message(FATAL_ERROR "corvantis_program: the place of ${target} must be bin or libexec, not '${kind}'")
  endif()
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${dir}")
  foreach(config ${CMAKE_CONFIGURATION_TYPES} ${CMAKE_BUILD_TYPE})
    string(TOUPPER "${config}" config)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY_${config} "${dir}")
  endforeach()
  # Installed as built (the run path the linker wrote stays): the same binaries run from either tree, and an
  # install from a sanitizer build installs exactly what its tests ran.
  if(kind STREQUAL "bin")
    install(PROGRAMS "$<TARGET_FILE:${target}>" DESTINATION bin)
  else()
    install(PROGRAMS "$<TARGET_FILE:${target}>" DESTINATION libexec/corvantis)
  endif()
endfunction()

# The extension's manifest, read by both programs for the service name and by the application for the version.
configure_file("${CMAKE_CURRENT_LIST_DIR}/ExtensionInfo.plist.in"
  "${CORVANTIS_TREE_SHARE_DIR}/SystemExtensions/CorvantisExtension/Info.plist" @ONLY)
install(FILES "${CORVANTIS_TREE_SHARE_DIR}/SystemExtensions/CorvantisExtension/Info.plist"
  DESTINATION share/corvantis/SystemExtensions/CorvantisExtension)

# Installation: the same tree under the prefix (root's /opt/corvantis unless `cmake --install --prefix` names
# another), plus the menu entry and the supervisor's unit. The supervisor runs only an extension whose folders up
# to / nobody but root may write, so every folder is made 0755 whatever the installer's umask.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/opt/corvantis" CACHE PATH "Where `cmake --install` puts the program tree" FORCE)
endif()
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The menu entry's Exec= and the unit's ExecStart= name the installed programs, so they are written at install
# time from the templates in dist/, with the prefix of that install rather than the one configured.
set(corvantis_install_entries [=[
if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/[A-Za-z0-9_./+-]*$")
  # Exec= and ExecStart= would need quoting rules of their own for anything else.
  message(FATAL_ERROR "The install prefix must be an absolute path of letters, digits and _./+- only, "
    "not '${CMAKE_INSTALL_PREFIX}'")
endif()
set(CORVANTIS_PREFIX "${CMAKE_INSTALL_PREFIX}")
foreach(entry "corvantis.desktop.in|share/applications/corvantis.desktop"
    "corvantis-supervisor.service.in|lib/systemd/system/corvantis-supervisor.service")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 template)
  list(GET entry 1 destination)
  set(destination "${CMAKE_INSTALL_PREFIX}/${destination}")
  set(target "$ENV{DESTDIR}${destination}")
  file(READ "${corvantis_dist_dir}/${template}" text)
  string(CONFIGURE "${text}" text @ONLY)
  set(old "")
  if(EXISTS "${target}")
    file(READ "${target}" old)
  endif()
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${destination}")
  if(old STREQUAL text)
    message(STATUS "Up-to-date: ${target}")
    continue()
  endif()
  message(STATUS "Installing: ${target}")
  # Folders made here get 0755 whatever the umask, as those of the programs do.
  get_filename_component(folder "${target}" DIRECTORY)
  set(missing "")
  while(NOT EXISTS "${folder}")
    list(PREPEND missing "${folder}")
    get_filename_component(folder "${folder}" DIRECTORY)
  endwhile()
  foreach(folder IN LISTS missing)
    file(MAKE_DIRECTORY "${folder}")
    file(CHMOD "${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
      WORLD_EXECUTE)
  endforeach()
  # Written beside and renamed, so that systemd or a menu never reads half a file.
  file(WRITE "${target}.new" "${text}")
  file(CHMOD "${target}.new" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(RENAME "${target}.new" "${target}")
endforeach()
]=])
install(CODE "set(corvantis_dist_dir \"${PROJECT_SOURCE_DIR}/dist\")\n${corvantis_install_entries}")
