# Real DNS peers for tests (unbound, dnsdist, the in-tree peers, a test CA).
add_library(zc_test_dns_peers STATIC ${CMAKE_CURRENT_LIST_DIR}/dns_peers.cc)
target_include_directories(zc_test_dns_peers PUBLIC ${CMAKE_SOURCE_DIR}/tests
                                                    ${CMAKE_SOURCE_DIR}/src)
target_compile_options(zc_test_dns_peers PRIVATE ${ZC_WARNINGS})
target_link_libraries(zc_test_dns_peers PUBLIC zc_utils zc_test_support Threads::Threads)
