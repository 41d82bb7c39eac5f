# Replays every panel-event input as the qxhost panel session it prints: the
# fuzz target writes the session into a folder (QX_FUZZ_REPRO), qxhost plays
# it and saves, and the saved state must be the one the fuzz target's
# instance ended with. Inputs on a scene a file cannot hold (NaN) are left
# out. Run as
#   cmake -DQXHOST=qxhost -DREPLAY=qx_replay_panel_events -DCORPUS=folder -DWORK=folder
#         -P replay-sessions.cmake
foreach(variable QXHOST REPLAY CORPUS WORK)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "replay-sessions.cmake: -D${variable}=... is missing")
  endif()
endforeach()

file(GLOB inputs ${CORPUS}/*)
list(SORT inputs)
set(passed 0)
set(failed "")
set(left_out 0)
foreach(input ${inputs})
  get_filename_component(name ${input} NAME)
  set(dir ${WORK}/${name})
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env QX_FUZZ_REPRO=${dir} ${REPLAY} ${input}
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    list(APPEND failed "${name} (the fuzz target failed)")
    continue()
  endif()
  file(READ ${dir}/session.txt session)
  if(session MATCHES "holds NaN")
    math(EXPR left_out "${left_out} + 1")
    continue()
  endif()
  set(refuse "")
  if(session MATCHES "--refuse-control AreaControl")
    set(refuse --refuse-control AreaControl)
  endif()
  execute_process(COMMAND ${QXHOST} panel --scene ${dir}/scene.json --script ${dir}/session.txt
                          --content-dir ${dir} ${refuse} --save --force
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    list(APPEND failed "${name} (qxhost: ${errors})")
    continue()
  endif()

  # The saved lines, one a line as state.txt holds them.
  execute_process(COMMAND ${QXHOST} state --raw --scene ${dir}/scene.json
                  RESULT_VARIABLE status OUTPUT_VARIABLE saved ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    list(APPEND failed "${name} (qxhost state: ${errors})")
    continue()
  endif()
  file(READ ${dir}/state.txt expected)
  if(saved STREQUAL expected)
    math(EXPR passed "${passed} + 1")
    file(REMOVE_RECURSE ${dir})
  else()
    list(APPEND failed "${name} (qxhost saved:\n${saved}the fuzz target's instance:\n${expected})")
  endif()
endforeach()

list(LENGTH failed failures)
message("${passed} passed, ${failures} failed, ${left_out} left out (NaN scenes)")
if(failures GREATER 0)
  foreach(failure ${failed})
    message("FAIL ${failure}")
  endforeach()
  message(FATAL_ERROR "panel sessions differ; their folders stay under ${WORK}")
endif()
