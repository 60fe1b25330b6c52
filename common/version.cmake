# Run at every build (cmake -P): writes OUT with the commit the sources are
# at, as `git describe` names it, and leaves OUT untouched when that has not
# changed, so that only a new commit or a change of the tree rebuilds what
# shows the version. Without git, or outside a checkout, "unknown".
execute_process(COMMAND git describe --always --dirty --tags
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR NOT version)
  set(version "unknown")
endif()
set(text "#define QMX_VERSION \"${version}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
