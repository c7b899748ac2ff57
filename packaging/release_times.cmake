# Run by CPack after it staged the release files and before it zips them:
# gives every staged file and folder the same modification time, so the zip
# entries do not record when (or in which order) the files were built.
# The time is SOURCE_DATE_EPOCH when set, else the time of the source tree's
# last commit, else 1980-01-02 00:00:00 UTC (zip times start in 1980).
# Zip entries keep local time as well: run cpack with TZ=UTC
# (scripts/package.sh does) for the same bytes in every time zone.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${CPACK_KP_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
  if(NOT git_result EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315619200)
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: '${epoch}'")
endif()

set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(stage STREQUAL "" OR NOT IS_DIRECTORY "${stage}")
  message(FATAL_ERROR "no staging folder to set the release files' time in: '${stage}'")
endif()
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${stage}/*")
execute_process(COMMAND touch -h -d "@${epoch}" ${entries} "${stage}"
                RESULT_VARIABLE touch_result)
if(NOT touch_result EQUAL 0)
  message(FATAL_ERROR "cannot set the release files' time (touch: ${touch_result})")
endif()
