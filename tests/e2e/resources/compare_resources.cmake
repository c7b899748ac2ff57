# Runs TOOL into SCRATCH and compares each file it made with the one in COMMITTED.
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
execute_process(COMMAND ${TOOL} ${SCRATCH} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "kaptora-resources failed: ${result}")
endif()
foreach(name kaptora.ico save.wav)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH}/${name} ${COMMITTED}/${name}
                  RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "resources/${name} differs from what kaptora-resources makes; run it on resources/")
  endif()
endforeach()
