# Wheels are compiled by Debian 12's GCC against its C library and C++ runtime (the root that
# `tools/devroot toolchain` builds and mounts in the dev root), so that the module loads on
# glibc 2.36 and newer systems. Python's headers, PCRE2 and the binary tools (as, ld, ar) stay
# the dev root's: headers the old root lacks are looked up there last, after all of its own.
set(WHEEL_SYSROOT /opt/bookworm)
if(NOT EXISTS ${WHEEL_SYSROOT}/usr/bin/g++-12)
  message(FATAL_ERROR "${WHEEL_SYSROOT} has no Debian 12 compiler: run tools/devroot toolchain")
endif()
set(CMAKE_CXX_COMPILER ${WHEEL_SYSROOT}/usr/bin/g++-12)
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${WHEEL_SYSROOT} -idirafter /usr/include")
set(CMAKE_AR /usr/bin/ar)
set(CMAKE_RANLIB /usr/bin/ranlib)
set(CMAKE_STRIP /usr/bin/strip)
