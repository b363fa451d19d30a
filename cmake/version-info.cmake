# Version information for the Windows executables: a VERSIONINFO resource made
# from the project's version, compiled by windres beside the manifest.
set(TAVRELON_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# tavrelon_version_info(TARGET DESCRIPTION): gives the executable TARGET a
# version resource whose FileDescription is DESCRIPTION. Does nothing outside
# Windows, and nothing for a target that already has one.
function(tavrelon_version_info target description)
  get_target_property(done ${target} TAVRELON_HAS_VERSION_INFO)
  if(NOT WIN32 OR done)
    return()
  endif()
  get_target_property(TAVRELON_RC_NAME ${target} OUTPUT_NAME)
  if(NOT TAVRELON_RC_NAME)
    set(TAVRELON_RC_NAME ${target})
  endif()
  set(TAVRELON_RC_FILE ${TAVRELON_RC_NAME}${CMAKE_EXECUTABLE_SUFFIX})
  set(TAVRELON_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version-info/${target}.rc)
  configure_file(${TAVRELON_VERSION_RC_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_target_properties(${target} PROPERTIES TAVRELON_HAS_VERSION_INFO ON)
endfunction()
