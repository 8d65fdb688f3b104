# lumenflip-replay's sources but its main: the tool, and the fuzz target of
# its trace reader, build from this one list.
set(LUMENFLIP_REPLAY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recording.cpp
  ${CMAKE_CURRENT_LIST_DIR}/light_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sweep.cpp
  ${CMAKE_CURRENT_LIST_DIR}/svg.cpp
)
