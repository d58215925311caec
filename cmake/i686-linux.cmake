# Building for 32-bit Linux (i686) on an x86-64 Debian machine with the system compilers and -m32
# (packages g++-multilib, libgtest-dev:i386, libpng-dev:i386, libtiff-dev:i386):
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux.cmake
# ctest then runs every test as a 32-bit program (scripts/test.sh adds -DTNIFF_I686_EMULATOR=ON
# where the kernel cannot run one; package qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets and directory positions, as every 32-bit program that reads directories
# should have: without them, listing a folder whose entries have 64-bit positions (ext4's hashed
# directories) fails with EOVERFLOW and the listing comes back empty.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# Libraries and packages from Debian's i386 tree, beside the 64-bit ones.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Where the kernel runs 32-bit programs itself, the tests run natively, those that start tniff
# as a program included. Elsewhere -DTNIFF_I686_EMULATOR=ON runs them under qemu-i386: the
# dynamic loader and libraries of the i386 packages are in the usual places, so qemu needs no
# prefix of its own, but a test program there cannot start another 32-bit program (unless the
# kernel hands those to qemu through binfmt_misc), so the tests that run tniff are left out.
if(TNIFF_I686_EMULATOR)
  find_program(TNIFF_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TNIFF_QEMU_I386})
endif()
