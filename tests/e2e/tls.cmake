# The proxy's TLS link to the server: dovecot with TLS and STLS and a
# certificate from a CA the test makes, real clients through the proxy, and
# the failures a person must be told of. The stalled handshake waits out the
# proxy's 10-second connect time-out once.
add_test(NAME tls_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_tls.py)
set_tests_properties(tls_e2e PROPERTIES
  LABELS e2e
  TIMEOUT 600
  ENVIRONMENT "GLIMMERFEN_CLI=$<TARGET_FILE:glimmerfen-cli>;GLIMMERFEN_REPO=${PROJECT_SOURCE_DIR}")
glimmerfen_reads_corpus(tls_e2e)
