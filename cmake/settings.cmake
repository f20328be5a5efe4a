# The settings every build of the kernels shares: the extension modules
# (CMakeLists.txt) and the kernel libraries of the tests and the benchmarks
# (cmake/kernel_libraries). The compiler flags themselves are read from
# src/kernels/compile_flags.txt by src/kernels/CMakeLists.txt.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()
