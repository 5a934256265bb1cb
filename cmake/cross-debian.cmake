# Cross build with Debian's cross toolchain (crossbuild-essential-<arch>) against a folder of the
# target's Debian libraries made by scripts/cross-sysroot. Included by the per-target toolchain
# files, which set ZC_CROSS_TRIPLET, ZC_CROSS_QEMU and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZC_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZC_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZC_CROSS_TRIPLET})

# The libraries' folder: -DZUNCORE_CROSS_SYSROOT=..., else the environment, else scripts/cross-sysroot's
# default. The environment carries it into CMake's own trial compiles.
if(NOT ZUNCORE_CROSS_SYSROOT)
  if(DEFINED ENV{ZUNCORE_CROSS_SYSROOT})
    set(ZUNCORE_CROSS_SYSROOT $ENV{ZUNCORE_CROSS_SYSROOT})
  else()
    set(ZUNCORE_CROSS_SYSROOT /var/cache/zuncore/sysroot/${ZC_CROSS_ARCH})
  endif()
endif()
set(ENV{ZUNCORE_CROSS_SYSROOT} ${ZUNCORE_CROSS_SYSROOT})
if(NOT EXISTS ${ZUNCORE_CROSS_SYSROOT}/usr/lib/${ZC_CROSS_TRIPLET})
  message(FATAL_ERROR "no ${ZC_CROSS_ARCH} libraries in ${ZUNCORE_CROSS_SYSROOT} (scripts/cross-sysroot ${ZC_CROSS_ARCH})")
endif()
set(zc_lib ${ZUNCORE_CROSS_SYSROOT}/usr/lib/${ZC_CROSS_TRIPLET})

# Headers and libraries come from the folder and the toolchain's own tree; programs (protoc-c)
# from the host.
set(CMAKE_FIND_ROOT_PATH ${ZUNCORE_CROSS_SYSROOT} /usr/${ZC_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The folder's headers are searched after the toolchain's C library and libstdc++ headers.
set(zc_inc "-idirafter ${ZUNCORE_CROSS_SYSROOT}/usr/include/${ZC_CROSS_TRIPLET} -idirafter ${ZUNCORE_CROSS_SYSROOT}/usr/include")
set(CMAKE_C_FLAGS_INIT "${zc_inc}")
set(CMAKE_CXX_FLAGS_INIT "${zc_inc}")
foreach(kind EXE SHARED MODULE)
  # Debian 12 still ships some libraries (zlib, keyutils, com_err) in /lib/<triplet>.
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-L${zc_lib} -Wl,-rpath-link,${zc_lib} -Wl,-rpath-link,${ZUNCORE_CROSS_SYSROOT}/lib/${ZC_CROSS_TRIPLET}")
endforeach()

# pkg-config reads only the target's .pc files and maps their paths into the folder.
set(ENV{PKG_CONFIG_LIBDIR} ${zc_lib}/pkgconfig:${ZUNCORE_CROSS_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZUNCORE_CROSS_SYSROOT})
unset(ENV{PKG_CONFIG_PATH})

# Test programs run under qemu-user with the folder as the target's root (its C library and
# loader included), which also lets gtest_discover_tests list them at build time.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZC_CROSS_QEMU} -L ${ZUNCORE_CROSS_SYSROOT})
