# A session against GStreamer's RTSP server, started and ended by the test.
rtsppull_add_test(NAME interop_test SOURCES interop_test.cpp LABELS interop TIMEOUT 120)
target_compile_definitions(interop_test PRIVATE
  RTSPPULL_TEST_SERVER="${PROJECT_SOURCE_DIR}/scripts/test-server.py")
