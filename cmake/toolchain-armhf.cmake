# Cross build for 32-bit ARM boards (armhf images: 32-bit time_t, unsigned
# char): cmake --toolchain cmake/toolchain-armhf.cmake
set(BOAT_CROSS_ARCH armhf)
set(BOAT_CROSS_PROCESSOR armv7l)
set(BOAT_CROSS_TRIPLET arm-linux-gnueabihf)
set(BOAT_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
