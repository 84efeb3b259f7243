# Cross build for s390x (big-endian) with Debian's cross compiler; the tests
# run under qemu-s390x. The target's libraries (OpenSSL, zlib, libargon2)
# come from Debian's s390x packages unpacked into KORVANE_S390X_ROOT by
# scripts/s390x-root.sh; everything links statically, so the programs run
# under qemu without a target root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

if(NOT KORVANE_S390X_ROOT)
  set(KORVANE_S390X_ROOT "$ENV{KORVANE_S390X_ROOT}")
endif()
if(NOT KORVANE_S390X_ROOT)
  message(FATAL_ERROR "KORVANE_S390X_ROOT: the unpacked s390x packages (scripts/s390x-root.sh)")
endif()
# try_compile runs see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_S390X_ROOT)

set(CMAKE_FIND_ROOT_PATH "${KORVANE_S390X_ROOT}" /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

# The multiarch header folder (OpenSSL's configuration header is there).
set(CMAKE_CXX_FLAGS_INIT "-isystem ${KORVANE_S390X_ROOT}/usr/include/s390x-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS TRUE)
set(ENV{PKG_CONFIG_LIBDIR} "${KORVANE_S390X_ROOT}/usr/lib/s390x-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KORVANE_S390X_ROOT}")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
