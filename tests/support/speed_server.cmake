# A speed-test server on loopback (ping, throttled download and upload, a peer that never reads).
add_library(zc_test_support_speed STATIC ${CMAKE_CURRENT_LIST_DIR}/speed_server.cc)
target_include_directories(zc_test_support_speed PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(zc_test_support_speed PUBLIC Threads::Threads)
target_compile_options(zc_test_support_speed PRIVATE ${ZC_WARNINGS})
