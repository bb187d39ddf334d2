# SDP record, Base64, receiver facade, port finder, exported symbols.

rtsppull_add_test(NAME base64_test SOURCES base64_test.cpp LABELS sdp)
rtsppull_add_test(NAME sdp_test SOURCES sdp_test.cpp LABELS sdp)
rtsppull_add_test(NAME rtp_receiver_test SOURCES rtp_receiver_test.cpp
  LABELS rtp)

# The port finder tests bind fixed ports (30000 and up) and expect to be the
# only ones doing so: they never run in parallel with each other.
add_executable(port_founder_test port_founder_test.cpp)
target_link_libraries(port_founder_test PRIVATE rtsppull_testing
  rtsppull_warnings GTest::gtest GTest::gtest_main)
gtest_discover_tests(port_founder_test
  DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS "unit;util" TIMEOUT 120 RESOURCE_LOCK udp_port_30000)

# Only the exported classes' members may be dynamic symbols of the library.
add_test(NAME visibility_test
  COMMAND bash
    ${CMAKE_CURRENT_SOURCE_DIR}/visibility_test.sh $<TARGET_FILE:rtsppull>)
set_tests_properties(visibility_test PROPERTIES LABELS "unit;packaging")
