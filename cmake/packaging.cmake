# The programs of a release, each with its version information.
#
# Included last: the program targets it packs must exist by then.

tavrelon_version_info(tavrelon "Tavrelon console watchdog")
set(TAVRELON_PACKAGE_PROGRAMS tavrelon)
if(TARGET tavrelon_report)
  tavrelon_version_info(tavrelon_report "Tavrelon report")
  list(APPEND TAVRELON_PACKAGE_PROGRAMS tavrelon_report)
endif()
