# Cross build for Windows x86-64 with MinGW-w64's posix-thread GCC.
# TOLVAR_CROSS_PREFIX names the folder where the script installed what the
# build links (mbed TLS, expat, GoogleTest, the interpreter's headers and
# python3.dll's import library); zlib comes from Debian's MinGW package.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOLVAR_CROSS_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOLVAR_CROSS_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLVAR_CROSS_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLVAR_CROSS_TRIPLET}-windres)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVAR_CROSS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVAR_CROSS_TRIPLET} ${TOLVAR_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives first: a program or module then needs no MinGW DLL
# (zlib1.dll, libstdc++-6.dll, libwinpthread-1.dll) that Windows lacks.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .dll.a .lib)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# CMake's find modules add what static linking needs (XML_STATIC for expat).
set(EXPAT_USE_STATIC_LIBS ON)
set(ZLIB_USE_STATIC_LIBS ON)
