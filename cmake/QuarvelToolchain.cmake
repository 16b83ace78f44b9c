# Compiler settings shared by every target of both builds.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 99)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_CUDA_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

find_program(QUARVEL_CCACHE ccache)
if(QUARVEL_CCACHE)
  foreach(lang C CXX CUDA)
    set(CMAKE_${lang}_COMPILER_LAUNCHER "${QUARVEL_CCACHE}")
  endforeach()
endif()

set(QUARVEL_CXX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(QUARVEL_WARNINGS_AS_ERRORS)
  list(APPEND QUARVEL_CXX_WARNINGS -Werror)
endif()

# Thrust and CUB come from the toolkit's CCCL headers in both builds; the host build
# selects Thrust's sequential C++ device system so no CUDA header is pulled in.
find_path(QUARVEL_CCCL_INCLUDE_DIR thrust/version.h
  HINTS "$ENV{CUDA_HOME}/include/cccl" /usr/local/cuda/include/cccl /usr/local/cuda/targets/x86_64-linux/include/cccl
  REQUIRED)

if(QUARVEL_BACKEND STREQUAL "cuda")
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
  set(CMAKE_CUDA_RUNTIME_LIBRARY Static)
  # CUDA 13 dropped compute capability 6.0: take the oldest it accepts (7.5) as PTX plus binary. The choice goes
  # into the cache over CMake's own default, so that a later configure of the same tree keeps it.
  if(NOT QUARVEL_CUDA_ARCHITECTURES_FROM_CALLER)
    if(CMAKE_CUDA_COMPILER_VERSION VERSION_GREATER_EQUAL 13.0)
      set(QUARVEL_DEFAULT_CUDA_ARCHITECTURES 75 89-real)
    else()
      set(QUARVEL_DEFAULT_CUDA_ARCHITECTURES 60 89-real)
    endif()
    set(CMAKE_CUDA_ARCHITECTURES "${QUARVEL_DEFAULT_CUDA_ARCHITECTURES}" CACHE STRING "GPU architectures to build" FORCE)
  endif()
  # Precise division and square root, no flush-to-zero: results must match the host build.
  set(QUARVEL_CUDA_FLAGS --prec-div=true --prec-sqrt=true --ftz=false --fmad=true -Xcompiler=-Wall,-Wextra)
  # ptxas warns for every kernel instantiation, on every architecture built, that spills registers to local
  # memory; with warnings as errors (the presets, CI) a spill fails the build.
  list(APPEND QUARVEL_CUDA_FLAGS -Xptxas=-warn-spills)
  if(QUARVEL_WARNINGS_AS_ERRORS)
    list(APPEND QUARVEL_CUDA_FLAGS -Werror=all-warnings)
  endif()
endif()

if(QUARVEL_SANITIZE)
  if(NOT QUARVEL_BACKEND STREQUAL "host")
    message(FATAL_ERROR "QUARVEL_SANITIZE needs the host build")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Compile options for a target of this project; .cu sources follow the chosen build.
function(quarvel_target_defaults target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX,C>:${QUARVEL_CXX_WARNINGS}>)
  if(QUARVEL_BACKEND STREQUAL "cuda")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:${QUARVEL_CUDA_FLAGS}>)
  endif()
endfunction()

# Adds .cu sources to a target: nvcc in the cuda build, the C++ compiler against the stand-in in the host build.
function(quarvel_add_device_sources target)
  target_sources(${target} PRIVATE ${ARGN})
  if(QUARVEL_BACKEND STREQUAL "host")
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target} PROPERTIES LANGUAGE CXX)
    target_link_libraries(${target} PUBLIC cpu_cuda)
    target_compile_definitions(${target} PRIVATE THRUST_DEVICE_SYSTEM=THRUST_DEVICE_SYSTEM_CPP)
  endif()
  target_include_directories(${target} SYSTEM PRIVATE "${QUARVEL_CCCL_INCLUDE_DIR}")
endfunction()
