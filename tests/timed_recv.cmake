# The session's timed receive against ACE's, scenario by scenario. Label
# "session" so that CI runs it under ThreadSanitizer with the session tests.
rtsppull_add_test(NAME timed_recv_test
  SOURCES timed_recv_test.cpp
  LABELS session)
