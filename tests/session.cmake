# The RTSP session against a scripted loopback server. Label "session" lets
# CI rerun exactly these under ThreadSanitizer.
rtsppull_add_test(NAME session_test
  SOURCES session_messages_test.cpp session_run_test.cpp support/script_server.cpp
  LABELS session)
# The real 20 s and 5 s timeouts.
rtsppull_add_test(NAME session_slow_test
  SOURCES session_slow_test.cpp support/script_server.cpp
  LABELS session slow
  TIMEOUT 90)
