#Headless Chromium over the DevTools protocol on a pipe(page tests of the cloud simulator).
add_library(zc_test_support_browser STATIC ${CMAKE_CURRENT_LIST_DIR} / browser.cc)
    target_include_directories(zc_test_support_browser PUBLIC ${CMAKE_SOURCE_DIR} / tests)
        target_link_libraries(zc_test_support_browser PUBLIC zc_test_support zc_cloudsim)
            target_compile_options(zc_test_support_browser PRIVATE ${ZC_WARNINGS})
