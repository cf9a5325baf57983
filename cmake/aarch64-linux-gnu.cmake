# Cross-building for arm64 (Raspberry Pi OS 64-bit, Debian arm64) on an amd64
# Debian with crossbuild-essential-arm64, against the arm64 libraries that
# scripts/test-arm64.sh unpacks into a sysroot (TRAILCAM_ARM64_SYSROOT).
# CTest runs what it builds under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
if(NOT TRAILCAM_ARM64_SYSROOT)
  set(TRAILCAM_ARM64_SYSROOT $ENV{HOME}/.cache/trailcam/arm64-sysroot)
endif()
set(CMAKE_SYSROOT ${TRAILCAM_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${TRAILCAM_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The arm64 libraries' .pc files, their paths within the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
  ${TRAILCAM_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${TRAILCAM_ARM64_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TRAILCAM_ARM64_SYSROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static -L ${TRAILCAM_ARM64_SYSROOT})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
