# SDP record, Base64, receiver facade, port finder, exported symbols.
rtsppull_add_test(NAME base64_test SOURCES base64_test.cpp LABELS sdp)
rtsppull_add_test(NAME sdp_test SOURCES sdp_test.cpp LABELS sdp)
rtsppull_add_test(NAME rtp_receiver_test SOURCES rtp_receiver_test.cpp LABELS rtp)
# One test: it binds fixed ports (30000 and up) and is the only one to do so.
rtsppull_add_test(NAME port_founder_test SOURCES port_founder_test.cpp LABELS util)

# Only the exported classes' members may be dynamic symbols of the library.
add_test(NAME visibility_test
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/visibility_test.sh $<TARGET_FILE:rtsppull>)
set_tests_properties(visibility_test PROPERTIES LABELS "unit;packaging")
