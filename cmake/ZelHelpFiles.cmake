# Man pages of zelctl and zel-unit-sim and the bash completion of zelctl, generated at build time
# from the programs' own --help pages (so they cannot fall behind the options):
#   share/man/man1/zelctl.1.gz, share/man/man1/zel-unit-sim.1.gz   help2man, gzip -9n
#   share/bash-completion/completions/zelctl                       packaging/zelctl-help-tree.sh
# The build tree holds them under share/ too; they install with `cmake --install` and go into the .deb.
# Not in cross builds (the programs cannot run on the build machine) nor in sanitizer and fuzzing
# builds, which are not for installing. Without help2man (or with -DZEL_HELP2MAN=OFF) configuring
# warns and leaves the man pages out. Sets ZEL_ZELCTL_COMPLETION and ZEL_MAN_PAGES for the tests.
include(GNUInstallDirs)
set(ZEL_ZELCTL_COMPLETION "")
set(ZEL_MAN_PAGES "")
if(CMAKE_CROSSCOMPILING OR ZEL_SANITIZE OR ZEL_TSAN OR ZEL_FUZZ)
  return()
endif()

set(zel_share ${PROJECT_BINARY_DIR}/share)
set(zel_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(zel_help_outputs)

if(TARGET zelctl)
  set(ZEL_ZELCTL_COMPLETION ${zel_share}/bash-completion/completions/zelctl)
  add_custom_command(
    OUTPUT ${ZEL_ZELCTL_COMPLETION}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${zel_share}/bash-completion/completions
    COMMAND bash ${zel_packaging}/zelctl-help-tree.sh completion $<TARGET_FILE:zelctl> ${ZEL_ZELCTL_COMPLETION}
    DEPENDS zelctl ${zel_packaging}/zelctl-help-tree.sh
    COMMENT "Bash completion of zelctl from its help pages"
    VERBATIM)
  list(APPEND zel_help_outputs ${ZEL_ZELCTL_COMPLETION})
  install(FILES ${ZEL_ZELCTL_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

find_program(ZEL_HELP2MAN help2man)
find_program(ZEL_GZIP gzip)
if(NOT ZEL_HELP2MAN OR NOT ZEL_GZIP)
  message(WARNING "help2man or gzip not found (Debian: apt-get install help2man): no man pages")
else()
  set(zel_man ${zel_share}/man/man1)
  set(zel_source "zel_api ${PROJECT_VERSION}")
  if(TARGET zelctl)
    add_custom_command(
      OUTPUT ${zel_man}/zelctl.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${zel_man}
      COMMAND bash ${zel_packaging}/zelctl-help-tree.sh man $<TARGET_FILE:zelctl> ${PROJECT_BINARY_DIR}/zelctl.h2m
      COMMAND sh ${zel_packaging}/make-man-page.sh $<TARGET_FILE:zelctl> ${zel_man}/zelctl.1.gz
              "drive fibre-optic test units from the command line" ${zel_source} ${PROJECT_BINARY_DIR}/zelctl.h2m
      DEPENDS zelctl ${zel_packaging}/zelctl-help-tree.sh ${zel_packaging}/make-man-page.sh
      COMMENT "Man page of zelctl"
      VERBATIM)
    list(APPEND ZEL_MAN_PAGES ${zel_man}/zelctl.1.gz)
  endif()
  if(TARGET zel-unit-sim)
    add_custom_command(
      OUTPUT ${zel_man}/zel-unit-sim.1.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${zel_man}
      COMMAND sh ${zel_packaging}/make-man-page.sh $<TARGET_FILE:zel-unit-sim> ${zel_man}/zel-unit-sim.1.gz
              "simulated fibre-optic test unit on TCP port 6653" ${zel_source}
      DEPENDS zel-unit-sim ${zel_packaging}/make-man-page.sh
      COMMENT "Man page of zel-unit-sim"
      VERBATIM)
    list(APPEND ZEL_MAN_PAGES ${zel_man}/zel-unit-sim.1.gz)
  endif()
  list(APPEND zel_help_outputs ${ZEL_MAN_PAGES})
  if(ZEL_MAN_PAGES)
    install(FILES ${ZEL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

if(zel_help_outputs)
  add_custom_target(zel_help_files ALL DEPENDS ${zel_help_outputs})
endif()
