# Big-endian 64-bit s390x, to show byte-order assumptions: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x.cmake
set(ZC_CROSS_ARCH s390x)
set(ZC_CROSS_TRIPLET s390x-linux-gnu)
set(ZC_CROSS_QEMU qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
