# One proxy serving several accounts: two dovecots and a server that stalls
# in the middle of a message, a port conflict on one account, and the
# classification header.
add_test(NAME accounts_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_accounts.py)
set_tests_properties(accounts_e2e PROPERTIES
  LABELS e2e
  TIMEOUT 600
  ENVIRONMENT "GLIMMERFEN_CLI=$<TARGET_FILE:glimmerfen-cli>;GLIMMERFEN_REPO=${PROJECT_SOURCE_DIR}")
glimmerfen_reads_corpus(accounts_e2e)
