# lumenflip-replay's sources but its main: the tool, and the fuzz target of
# its trace reader, build from this one list.
set(LUMENFLIP_REPLAY_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/decide.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/feedback.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sweep.cpp
  ${CMAKE_CURRENT_LIST_DIR}/svg.cpp
)
