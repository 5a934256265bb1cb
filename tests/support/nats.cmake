# NATS and cloud simulator fixtures (real nats-server, test PKI, the cloudsim program).
add_library(zc_test_support_nats STATIC ${CMAKE_CURRENT_LIST_DIR}/nats_fixture.cc
            ${CMAKE_CURRENT_LIST_DIR}/cloudsim_fixture.cc)
target_include_directories(zc_test_support_nats PUBLIC ${CMAKE_SOURCE_DIR}/tests
                           ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(zc_test_support_nats PUBLIC zc_test_support zc_cloudsim
                      PkgConfig::LIBEVENT Threads::Threads)
target_compile_options(zc_test_support_nats PRIVATE ${ZC_WARNINGS})
# Tests that use the simulator need the program built.
add_dependencies(zc_test_support_nats cloudsim)
