# Little-endian 32-bit MIPS, the router's architecture: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake
set(ZC_CROSS_ARCH mipsel)
set(ZC_CROSS_TRIPLET mipsel-linux-gnu)
set(ZC_CROSS_QEMU qemu-mipsel)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
