# SimSIMD arrives as its source distribution, fetched by package name through pip
# at configure time. -DSIMSIMD_SOURCE_DIR=<unpacked sdist> skips the download.
set(DRALM_SIMSIMD_VERSION "6.5.16")

if(NOT SIMSIMD_SOURCE_DIR)
  set(_sd_root "${CMAKE_BINARY_DIR}/_deps/simsimd")
  set(SIMSIMD_SOURCE_DIR "${_sd_root}/simsimd-${DRALM_SIMSIMD_VERSION}")
  if(NOT EXISTS "${SIMSIMD_SOURCE_DIR}/c/lib.c")
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    file(MAKE_DIRECTORY "${_sd_root}")
    execute_process(
      COMMAND "${Python3_EXECUTABLE}" -m pip download --no-deps --no-binary=simsimd
              --disable-pip-version-check "simsimd==${DRALM_SIMSIMD_VERSION}" -d "${_sd_root}"
      RESULT_VARIABLE _sd_rc)
    if(NOT _sd_rc EQUAL 0)
      message(FATAL_ERROR "could not download the simsimd ${DRALM_SIMSIMD_VERSION} sdist")
    endif()
    file(ARCHIVE_EXTRACT INPUT "${_sd_root}/simsimd-${DRALM_SIMSIMD_VERSION}.tar.gz"
         DESTINATION "${_sd_root}")
  endif()
endif()

if(NOT EXISTS "${SIMSIMD_SOURCE_DIR}/c/lib.c")
  message(FATAL_ERROR "SIMSIMD_SOURCE_DIR=${SIMSIMD_SOURCE_DIR} holds no c/lib.c")
endif()

add_library(simsimd STATIC "${SIMSIMD_SOURCE_DIR}/c/lib.c")
target_include_directories(simsimd SYSTEM PUBLIC "${SIMSIMD_SOURCE_DIR}/include")
target_compile_definitions(simsimd PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1 SIMSIMD_NATIVE_F16=0
                                          SIMSIMD_NATIVE_BF16=0)
set_target_properties(simsimd PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET default)
target_compile_options(simsimd PRIVATE -w)
# clang 14 cannot compile SimSIMD's AVX-512 FP16 (Sapphire Rapids) and AVX-VNNI-INT8
# (Sierra Forest) kernels; the engine's f32 kernels do not need them.
if(CMAKE_C_COMPILER_ID MATCHES "Clang")
  target_compile_definitions(simsimd PUBLIC SIMSIMD_TARGET_SAPPHIRE=0 SIMSIMD_TARGET_SIERRA=0
                                            SIMSIMD_TARGET_TURIN=0)
endif()
