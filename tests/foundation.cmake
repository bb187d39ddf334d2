# Base64 and SDP record, receiver facade, port finder, exported symbols.
rtsppull_add_test(NAME sdp_test SOURCES sdp_test.cpp LABELS sdp)
rtsppull_add_test(NAME rtp_receiver_test SOURCES rtp_receiver_test.cpp LABELS rtp)
# The only test that binds fixed ports (30000 and up).
rtsppull_add_test(NAME port_founder_test SOURCES port_founder_test.cpp LABELS util)

add_test(NAME visibility_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/visibility_test.sh $<TARGET_FILE:rtsppull>)
set_tests_properties(visibility_test PROPERTIES LABELS "unit;packaging")
