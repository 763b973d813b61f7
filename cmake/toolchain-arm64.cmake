# Cross build for 64-bit ARM boards (Raspberry Pi 3 and later on a 64-bit
# image): cmake --toolchain cmake/toolchain-arm64.cmake
set(BOAT_CROSS_ARCH arm64)
set(BOAT_CROSS_PROCESSOR aarch64)
set(BOAT_CROSS_TRIPLET aarch64-linux-gnu)
set(BOAT_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
