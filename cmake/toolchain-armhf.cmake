# Cross compilation for the camera's ARM board (armhf), with Debian's
# arm-linux-gnueabihf toolchain and a sysroot unpacked from Debian's armhf
# packages by scripts/build-device (ZQ_ARMHF_SYSROOT).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes on every std::vector instantiation that an ABI detail changed in
# GCC 7.1; everything here is built by one compiler, so the notes only hide
# real warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

if(NOT ZQ_ARMHF_SYSROOT)
  set(ZQ_ARMHF_SYSROOT "$ENV{ZQ_ARMHF_SYSROOT}")
endif()
if(NOT ZQ_ARMHF_SYSROOT)
  message(FATAL_ERROR "ZQ_ARMHF_SYSROOT must name the armhf sysroot (scripts/build-device makes it)")
endif()
set(CMAKE_SYSROOT "${ZQ_ARMHF_SYSROOT}")
# Try-compile projects get the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZQ_ARMHF_SYSROOT)

set(CMAKE_FIND_ROOT_PATH "${ZQ_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)   # protoc runs on the build machine
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# pkg-config answers for the sysroot, not for the build machine.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR} "${ZQ_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ZQ_ARMHF_SYSROOT}/usr/lib/pkgconfig:${ZQ_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ZQ_ARMHF_SYSROOT}")

# The build machine's protoc, of the same protobuf release as the sysroot's runtime.
set(Protobuf_PROTOC_EXECUTABLE /usr/bin/protoc CACHE FILEPATH "protoc of the build machine")

# Tests run under user-mode emulation with the sysroot's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${ZQ_ARMHF_SYSROOT})
