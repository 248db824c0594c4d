# Cross build for Linux on arm64 with Debian's aarch64-linux-gnu GCC, against
# its cross C library (glibc of the same Debian release as the arm64 root).
# TOLVAR_CROSS_PREFIX names the folder where the script gathered what the
# build links from the arm64 root (headers and libraries of expat, zlib,
# mbed TLS and the interpreter) and GoogleTest built for arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOLVAR_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TOLVAR_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVAR_CROSS_TRIPLET}-g++)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVAR_CROSS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVAR_CROSS_TRIPLET} ${TOLVAR_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
