# glimmerfen-cli accounts and header on a store in a temporary data directory:
# each change through the real program, and each refusal with its one line.
add_test(NAME cli_accounts_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_accounts.py)
set_tests_properties(cli_accounts_e2e PROPERTIES
  LABELS e2e
  TIMEOUT 120
  ENVIRONMENT "GLIMMERFEN_CLI=$<TARGET_FILE:glimmerfen-cli>;GLIMMERFEN_REPO=${PROJECT_SOURCE_DIR}")
