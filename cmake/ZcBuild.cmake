# Shared build settings: warnings, sanitizers, dependencies, and the module helper.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent libevent_pthreads)
pkg_check_modules(LIBNATS REQUIRED IMPORTED_TARGET libnats)
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(JSONC REQUIRED IMPORTED_TARGET json-c)
pkg_check_modules(PROTOBUFC REQUIRED IMPORTED_TARGET libprotobuf-c)
pkg_check_modules(CARES REQUIRED IMPORTED_TARGET libcares)
pkg_check_modules(LIBNGHTTP2 REQUIRED IMPORTED_TARGET libnghttp2)
find_package(OpenSSL REQUIRED)

# 32-bit targets (the router's mipsel) have no 8-byte atomic instructions: GCC calls libatomic for
# std::atomic<double> and std::atomic<std::uint64_t> there, and nothing links it by itself.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <atomic>
#include <cstdint>
std::atomic<std::uint64_t> v;
int main() { v.store(1); return int(v.load()); }" ZC_ATOMIC64_BUILTIN)
if(NOT ZC_ATOMIC64_BUILTIN)
  link_libraries(atomic)
endif()

set(ZC_WARNINGS -Wall -Wextra -Werror -Wformat=2 -Wformat-security)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12's optimised builds report overlapping copies and uninitialised members inside
  # libstdc++'s own string code (known false positives of -Wrestrict and -Wmaybe-uninitialized);
  # the second stays visible as a warning, every other warning stays an error.
  list(APPEND ZC_WARNINGS -Wno-restrict -Wno-error=maybe-uninitialized)
endif()

if(ZUNCORE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZUNCORE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(ZUNCORE_PLATFORM STREQUAL "sim")
  add_compile_definitions(ZUNCORE_PLATFORM_SIM=1)
else()
  add_compile_definitions(ZUNCORE_PLATFORM_REALTEK=1)
endif()

# zc_add_module(<target> [DIR <dir>] [GLOB <pattern>...] [EXCLUDE <regex>] [DEPS <targets>...])
# One static library per module: every *.cc/*.c of the directory unless a pattern is given.
function(zc_add_module target)
  cmake_parse_arguments(M "" "DIR;EXCLUDE" "GLOB;DEPS" ${ARGN})
  if(NOT M_DIR)
    set(M_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  if(NOT M_GLOB)
    set(M_GLOB *.cc *.c)
  endif()
  set(patterns)
  foreach(g ${M_GLOB})
    list(APPEND patterns ${M_DIR}/${g})
  endforeach()
  file(GLOB srcs CONFIGURE_DEPENDS ${patterns})
  if(M_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${M_EXCLUDE}")
  endif()
  if(NOT srcs)
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${M_DEPS})
    return()
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${ZC_WARNINGS})
  target_link_libraries(${target} PUBLIC ${M_DEPS})
endfunction()

# zc_add_test(<name> SOURCES ... DEPS ... [LABELS ...] [TIMEOUT s] [NETNS])
# NETNS: the test process runs in its own user+network namespace (own loopback, an "eth0").
# A test named in ZC_TSAN_TESTS (tests/CMakeLists.txt) also gets the label "tsan".
function(zc_add_test name)
  cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  list(JOIN ZC_TSAN_TESTS "|" tsan_names)
  if(tsan_names AND name MATCHES "^(${tsan_names})$")
    list(APPEND T_LABELS tsan)
    add_dependencies(tsan_tests ${name})
  endif()
  target_compile_options(${name} PRIVATE ${ZC_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  if(T_NETNS)
    target_link_libraries(${name} PRIVATE ${T_DEPS} zc_test_netns_main GTest::gtest Threads::Threads)
  else()
    target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest GTest::gtest_main Threads::Threads)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "ZC_BUILD_DIR=${CMAKE_BINARY_DIR}")
  # Labels are set after discovery: gtest_discover_tests flattens a list of labels into the
  # property list ("LABELS integration e2e TIMEOUT ..."), losing every label but the first and
  # the properties after it.
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${labels_file}
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# Fuzz build (clang): every module gets coverage instrumentation, each target links libFuzzer.
if(ZUNCORE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# zc_add_fuzzer(<name> SOURCES ... DEPS ...): a libFuzzer target; its seed corpus lives in
# fuzz/corpus/<name>/.
function(zc_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${F_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY ZC_FUZZERS ${name})
endfunction()
