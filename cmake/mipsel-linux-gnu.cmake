# Cross build for the controller's CPU: 32-bit MIPS, little-endian.
#
#   cmake -S . -B build-mipsel -G Ninja -DTZV58_BENCH=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# Compilers from Debian's g++-mipsel-linux-gnu; target libraries from Debian's
# multiarch packages (libjsoncpp-dev:mipsel, libgtest-dev:mipsel) in
# /usr/lib/mipsel-linux-gnu. ctest runs the test programs under qemu-mipsel.
# scripts/test-mipsel.sh installs all of it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# Libraries, headers and CMake packages of the target only; programs (the
# emulator, ninja) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The plug-in uses Boost's header-only parts, and Debian's Boost headers are
# the same for every architecture (libboost-dev:mipsel does not co-install).
# Take the build machine's through a folder that holds nothing but a `boost`
# link, so that none of its other system headers reach the target compiler.
get_property(_tzv58_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _tzv58_in_try_compile)
  set(_tzv58_boost_root "${CMAKE_BINARY_DIR}/target-boost")
  if(NOT EXISTS "${_tzv58_boost_root}/boost")
    file(MAKE_DIRECTORY "${_tzv58_boost_root}")
    file(CREATE_LINK /usr/include/boost "${_tzv58_boost_root}/boost" SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR "${_tzv58_boost_root}" CACHE PATH "Boost headers for the target")
  set(Boost_NO_BOOST_CMAKE ON)
  set(Boost_NO_SYSTEM_PATHS ON)
endif()

# ctest runs every test program under user-mode emulation. The guest's
# /lib/ld.so.1 is the multiarch loader of libc6:mipsel, which also finds
# libstdc++ and libjsoncpp in /usr/lib/mipsel-linux-gnu: one consistent
# runtime, as on a Debian mipsel machine.
find_program(TZV58_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TZV58_QEMU_MIPSEL};-L;/")

# pkg-config reads the target's .pc files (cpp-httplib's carries the flags
# its library was built with).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig")
