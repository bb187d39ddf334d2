# The RTSP session against a scripted loopback server. Label "session" lets
# CI rerun exactly these under ThreadSanitizer.
set(_session_support support/script_server.cpp)
rtsppull_add_test(NAME session_test
  SOURCES session_requests_test.cpp session_replies_test.cpp session_sdp_test.cpp
          session_handshake_test.cpp session_receive_test.cpp session_start_stop_test.cpp
          session_timeout_test.cpp ${_session_support}
  LABELS session)
# The real 20 s and 5 s timeouts; CI runs these too.
rtsppull_add_test(NAME session_slow_test
  SOURCES session_slow_test.cpp ${_session_support}
  LABELS session slow
  TIMEOUT 90)
