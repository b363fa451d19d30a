# The release package: `cmake --build <build> --target package` writes
# tavrelon-<version>-win64.zip from the Windows build and
# tavrelon-<version>-linux-<processor>.tar.gz from a Linux one: the programs, an
# example configuration, a quick start and the licence; the version is the
# project's. The tarball holds one folder of its name, as tarballs do; the zip
# holds the files alone, so that Explorer's "Extract All" puts them straight
# into the folder it is given.
#
# Included last: the program targets it packs must exist by then.

tavrelon_version_info(tavrelon "Tavrelon console watchdog")
set(TAVRELON_PACKAGE_PROGRAMS tavrelon)
if(TARGET tavrelon_report)
  tavrelon_version_info(tavrelon_report "Tavrelon report")
  list(APPEND TAVRELON_PACKAGE_PROGRAMS tavrelon_report)
endif()

# The texts get the platform's line ends: Windows users open them in Notepad.
set(TAVRELON_WATCHDOG tavrelon${CMAKE_EXECUTABLE_SUFFIX})
set(TAVRELON_EXE ${CMAKE_EXECUTABLE_SUFFIX})
if(WIN32)
  set(TAVRELON_PACKAGE_SYSTEM win64)
  set(TAVRELON_PACKAGE_EXTENSION .zip)
  set(CPACK_GENERATOR ZIP)
  set(TAVRELON_PACKAGE_NEWLINES CRLF)
  set(TAVRELON_PACKAGE_README README-windows.txt.in)
  set(TAVRELON_EXAMPLE_DIR "C:\\Tests")
  set(TAVRELON_SEP "\\")
  set(TAVRELON_SCRIPT .bat)
else()
  set(TAVRELON_PACKAGE_SYSTEM linux-${CMAKE_SYSTEM_PROCESSOR})
  set(TAVRELON_PACKAGE_EXTENSION .tar.gz)
  set(CPACK_GENERATOR TGZ)
  set(TAVRELON_PACKAGE_NEWLINES LF)
  set(TAVRELON_PACKAGE_README README-linux.txt.in)
  set(TAVRELON_EXAMPLE_DIR /opt/tests)
  set(TAVRELON_SEP /)
  set(TAVRELON_SCRIPT .sh)
endif()

set(texts ${CMAKE_CURRENT_LIST_DIR}/../packaging)
set(staged ${CMAKE_BINARY_DIR}/package-texts)
configure_file(${texts}/TavrelonConfig.ini.in ${staged}/TavrelonConfig.ini @ONLY
               NEWLINE_STYLE ${TAVRELON_PACKAGE_NEWLINES})
configure_file(${texts}/${TAVRELON_PACKAGE_README} ${staged}/README.txt @ONLY
               NEWLINE_STYLE ${TAVRELON_PACKAGE_NEWLINES})
configure_file(${CMAKE_CURRENT_LIST_DIR}/../LICENSE ${staged}/LICENSE.txt @ONLY
               NEWLINE_STYLE ${TAVRELON_PACKAGE_NEWLINES})

# What starts the watchdog again by itself: a Task Scheduler task on Windows, a
# systemd user unit on Linux.
if(WIN32)
  set(TAVRELON_PACKAGE_STARTER tavrelon-task.xml)
else()
  set(TAVRELON_PACKAGE_STARTER tavrelon.service)
endif()
configure_file(${texts}/${TAVRELON_PACKAGE_STARTER} ${staged}/${TAVRELON_PACKAGE_STARTER} @ONLY
               NEWLINE_STYLE ${TAVRELON_PACKAGE_NEWLINES})

# Flat, as the watchdog wants it: the configuration beside the executable.
install(TARGETS ${TAVRELON_PACKAGE_PROGRAMS} RUNTIME DESTINATION .)
install(FILES ${staged}/TavrelonConfig.ini ${staged}/README.txt ${staged}/LICENSE.txt
              ${staged}/${TAVRELON_PACKAGE_STARTER} DESTINATION .)

set(CPACK_PACKAGE_NAME tavrelon)
set(CPACK_PACKAGE_VENDOR "the Tavrelon developers")
set(TAVRELON_PACKAGE_NAME tavrelon-${PROJECT_VERSION}-${TAVRELON_PACKAGE_SYSTEM})
set(CPACK_PACKAGE_FILE_NAME ${TAVRELON_PACKAGE_NAME})
if(WIN32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# The package's checks (label "package"): the first builds it, as a user would.
if(TAVRELON_BUILD_TESTS)
  set(package ${CMAKE_BINARY_DIR}/${TAVRELON_PACKAGE_NAME}${TAVRELON_PACKAGE_EXTENSION})
  set(check bash ${CMAKE_CURRENT_LIST_DIR}/../tests/package/check_package.sh)
  add_test(NAME Package.Build COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target package)
  add_test(NAME Package.HoldsTheProgramsAndTheTexts
           COMMAND ${check} contents ${package} "${TAVRELON_PACKAGE_PROGRAMS}" ${CMAKE_OBJDUMP}
                   ${CMAKE_RC_COMPILER})
  add_test(NAME Package.UnpackedUnderBlanksSupervisesAProgram
           COMMAND ${check} run ${package} $<TARGET_FILE:fake_program> ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(Package.Build PROPERTIES FIXTURES_SETUP tavrelon_package LABELS package)
  set_tests_properties(Package.HoldsTheProgramsAndTheTexts Package.UnpackedUnderBlanksSupervisesAProgram
                       PROPERTIES FIXTURES_REQUIRED tavrelon_package LABELS package TIMEOUT 300)
endif()
