# rtsp-pull end to end against GStreamer's RTSP server (skipped, status 77,
# when GStreamer or ffmpeg is missing).
if(RTSPPULL_BUILD_TOOLS)
  foreach(_case decode signal failures)
    add_test(NAME e2e_rtsp_pull_${_case}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/rtsp_pull_e2e.sh
        $<TARGET_FILE:rtsp-pull> ${PROJECT_SOURCE_DIR}/scripts/test-server.py ${_case})
    set_tests_properties(e2e_rtsp_pull_${_case} PROPERTIES
      LABELS e2e TIMEOUT 90 SKIP_RETURN_CODE 77)
  endforeach()
endif()
