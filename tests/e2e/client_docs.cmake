# The fetchmail and getmail6 settings README.md gives, run as written through
# the proxy against dovecot, so the README cannot drift from what works.
add_test(NAME client_docs_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_client_docs.py)
set_tests_properties(client_docs_e2e PROPERTIES
  LABELS e2e
  TIMEOUT 300
  ENVIRONMENT "GLIMMERFEN_CLI=$<TARGET_FILE:glimmerfen-cli>;GLIMMERFEN_REPO=${PROJECT_SOURCE_DIR}")
