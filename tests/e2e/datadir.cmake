# Where the programs keep their files: the default and named data directories,
# their modes, and what is refused there (links, FIFOs, other users' directories).
add_test(NAME datadir_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_datadir.py)
# Without the desktop program (GLIMMERFEN_UI off) its cases report a skip.
set(DATADIR_E2E_APP "GLIMMERFEN_APP=;")
if(TARGET glimmerfen)
  set(DATADIR_E2E_APP "GLIMMERFEN_APP=$<TARGET_FILE:glimmerfen>;")
endif()
set_tests_properties(datadir_e2e PROPERTIES
  LABELS e2e
  TIMEOUT 300
  ENVIRONMENT "${DATADIR_E2E_APP}GLIMMERFEN_CLI=$<TARGET_FILE:glimmerfen-cli>;GLIMMERFEN_REPO=${PROJECT_SOURCE_DIR}")
