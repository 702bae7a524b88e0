# 32-bit x86 Linux (Debian: crossbuild-essential-i386 qemu-user libc6-i386 lib32stdc++6),
# run under qemu-i386. Debian's g++-multilib cannot be installed beside the other cross
# compilers, so this is a cross build too. The programs run on the host's own 32-bit
# libraries (-L /): under qemu 7.2 the cross sysroot's C library hangs in thread start-up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /)
