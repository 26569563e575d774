# Cross-building for another Linux architecture with Debian's cross compiler
# for ZODEVIR_TARGET (arm-linux-gnueabihf, aarch64-linux-gnu); the tests run
# under qemu-user (ZODEVIR_QEMU), which also runs the built program, through
# binfmt_misc, when a test starts it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ZODEVIR_PROCESSOR})
set(CMAKE_C_COMPILER ${ZODEVIR_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${ZODEVIR_TARGET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ZODEVIR_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZODEVIR_QEMU} -L /usr/${ZODEVIR_TARGET})
