# A session against GStreamer's RTSP server, which the e2e script starts and
# ends around the test (skipped, status 77, when GStreamer is missing).
add_executable(interop_test interop_test.cpp)
target_link_libraries(interop_test PRIVATE rtsppull_testing rtsppull_warnings GTest::gtest
  GTest::gtest_main)
target_include_directories(interop_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_test(NAME interop_test COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/rtsp_pull_e2e.sh
  $<TARGET_FILE:interop_test> ${PROJECT_SOURCE_DIR}/scripts/test-server.py interop)
set_tests_properties(interop_test PROPERTIES
  LABELS "unit;interop" TIMEOUT 120 SKIP_RETURN_CODE 77)
