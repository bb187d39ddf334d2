# Unit tests of the rtsp-pull tool's own parts (depacketizer, URL parsing,
# failure explanations, output writers). They compile the tool's sources
# directly; the library is not involved.
if(RTSPPULL_BUILD_TOOLS)
  set(_tool_dir ${PROJECT_SOURCE_DIR}/tools/rtsp-pull)
  set(_tool_sources
    ${_tool_dir}/annexb_writer.cpp ${_tool_dir}/diagnosis.cpp
    ${_tool_dir}/h264_depacketizer.cpp ${_tool_dir}/library_output.cpp
    ${_tool_dir}/rtpdump_writer.cpp ${_tool_dir}/url.cpp)
  rtsppull_add_test(NAME tool_depacketizer_test
    SOURCES tool_depacketizer_test.cpp ${_tool_dir}/h264_depacketizer.cpp LABELS tool)
  target_include_directories(tool_depacketizer_test PRIVATE ${_tool_dir})
  rtsppull_add_test(NAME tool_host_test SOURCES tool_host_test.cpp ${_tool_sources} LABELS tool)
  target_include_directories(tool_host_test PRIVATE ${_tool_dir})
endif()
