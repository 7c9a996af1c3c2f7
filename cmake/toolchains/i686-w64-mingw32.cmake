# Cross-build for 32-bit Windows with Debian's mingw-w64, posix thread model (std::thread in the
# stand-in host, the command line and the Windows test program).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QUILLET_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLET_MINGW_TRIPLE}-windres)

# The baseline is a plain i686: no file outside the _mmx/_sse/_sse2 kernel forms may contain an
# MMX or SSE instruction, so the plug-in still loads and runs its scalar set on such a processor.
# Floating point therefore runs on x87, with the excess precision of its registers and whatever
# precision control the editor's thread has set. The scalar weight builder's quotient and the
# motion map's M^2 x W + 0.5 give the x86-64 bits regardless: below the 4096 cap the product and
# sum are exact in double, so only the final rounding to float decides. plugin_test checks every
# threshold and measure against the native values under 53- and 64-bit precision control.
set(CMAKE_C_FLAGS_INIT "-march=i686 -mtune=generic")
set(CMAKE_CXX_FLAGS_INIT "-march=i686 -mtune=generic")

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QUILLET_WINE wine)
if(QUILLET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLET_WINE})
endif()
