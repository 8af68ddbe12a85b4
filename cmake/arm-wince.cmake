# The device's own binaries: ARM (ARMv4T, ARM state) for Windows CE 5, built on Linux with
# Debian's clang and GNU binutils for arm-mingw32ce through the drivers of tools/arm-toolchain,
# against the device's libraries only (see platform/device_sdk).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM)

set(drivers ${CMAKE_CURRENT_LIST_DIR}/../tools/arm-toolchain)
set(CMAKE_C_COMPILER ${drivers}/arm-wince-c++)
set(CMAKE_CXX_COMPILER ${drivers}/arm-wince-c++)
set(CMAKE_RC_COMPILER ${drivers}/arm-wince-windres)
# The drivers act as GNU's; CMake's probing programs need libraries the device build never links.
foreach(language C CXX)
  set(CMAKE_${language}_COMPILER_FORCED TRUE)
  set(CMAKE_${language}_COMPILER_ID GNU)
  set(CMAKE_${language}_COMPILER_VERSION 12.0)
  set(CMAKE_${language}_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
endforeach()

set(KIT_DEVICE_SIDE ON)
set(KIT_DEVICE_DLLTOOL ${CMAKE_CURRENT_LIST_DIR}/../build/arm-toolchain/binutils/bin/arm-mingw32ce-dlltool)
set(KIT_DEVICE_ENTRY_PREFIX "")
set(KIT_DEVICE_ARM ON)
