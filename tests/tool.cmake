# The rtsp-pull tool's depacketizer and URL parsing, built from its sources.
if(RTSPPULL_BUILD_TOOLS)
  set(_tool_dir ${PROJECT_SOURCE_DIR}/tools/rtsp-pull)
  rtsppull_add_test(NAME tool_depacketizer_test LABELS tool SOURCES tool_depacketizer_test.cpp
    ${_tool_dir}/h264_depacketizer.cpp ${_tool_dir}/url.cpp)
  target_include_directories(tool_depacketizer_test PRIVATE ${_tool_dir})
endif()
