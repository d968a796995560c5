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
endfunction()

# The extension's manifest, read by both programs for the service name and by the application for the version.
configure_file("${CMAKE_CURRENT_LIST_DIR}/ExtensionInfo.plist.in"
  "${CORVANTIS_TREE_SHARE_DIR}/SystemExtensions/CorvantisExtension/Info.plist" @ONLY)
