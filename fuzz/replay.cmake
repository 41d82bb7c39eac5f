# Corpus replays: each fuzz target built with a plain main that feeds it every
# file of its corpus folder once. Included from tests/ for ordinary builds.
file(GLOB QX_FUZZ_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
# The plain main, compiled once for every replay.
add_library(qx_fuzz_replay_main OBJECT ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
target_compile_options(qx_fuzz_replay_main PRIVATE ${QX_WARNINGS} ${QX_TEST_OPTIMIZATION})
foreach(source ${QX_FUZZ_SOURCES})
  get_filename_component(stem ${source} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" name ${stem})
  add_executable(qx_replay_${name} ${source} $<TARGET_OBJECTS:qx_fuzz_replay_main>
                                   $<TARGET_OBJECTS:qx_module_objs>)
  target_include_directories(qx_replay_${name} PRIVATE ${PROJECT_SOURCE_DIR}/module
                                                       ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(qx_replay_${name} PRIVATE qxhost_lib)
  target_compile_options(qx_replay_${name} PRIVATE ${QX_WARNINGS} ${QX_TEST_OPTIMIZATION})
  add_test(NAME FuzzCorpus.${name}
           COMMAND qx_replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
endforeach()

# The panel-event corpus once more, each input played as the qxhost panel
# session it prints: qxhost must end in the state the fuzz target did.
add_test(NAME FuzzCorpus.panel_events_in_qxhost
         COMMAND ${CMAKE_COMMAND} -DQXHOST=$<TARGET_FILE:qxhost>
                 -DREPLAY=$<TARGET_FILE:qx_replay_panel_events>
                 -DCORPUS=${PROJECT_SOURCE_DIR}/fuzz/corpus/panel_events
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/panel-sessions
                 -P ${PROJECT_SOURCE_DIR}/fuzz/replay-sessions.cmake)
