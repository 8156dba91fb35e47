# SimSIMD is compiled from its C source. Where that source comes from, first match wins:
#   1. -DSIMSIMD_SOURCE_DIR=<dir>: any unpacked SimSIMD source of this version;
#   2. third_party/simsimd-<version>/ in the source tree: what the dralm sdist carries,
#      and what scripts/fetch_simsimd.sh puts into a checkout;
#   3. a download of SimSIMD's sdist by pip into the build tree (checkout builds only,
#      DRALM_FETCH_SIMSIMD=ON). It needs the package index; offline it stops with a
#      message naming the two ways above.
set(DRALM_SIMSIMD_VERSION "6.5.16")
option(DRALM_FETCH_SIMSIMD "Download SimSIMD's source with pip when it is not found" ON)
set(SIMSIMD_SOURCE_DIR "" CACHE PATH "Unpacked SimSIMD ${DRALM_SIMSIMD_VERSION} source (holds c/lib.c)")

set(_sd_vendored "${PROJECT_SOURCE_DIR}/third_party/simsimd-${DRALM_SIMSIMD_VERSION}")
set(_sd_fetched_root "${CMAKE_BINARY_DIR}/_deps/simsimd")
set(_sd_fetched "${_sd_fetched_root}/simsimd-${DRALM_SIMSIMD_VERSION}")
set(_sd_how_to
    "Provide it in one of these ways:\n"
    "  - run scripts/fetch_simsimd.sh once (with access to the package index), which\n"
    "    unpacks it into third_party/simsimd-${DRALM_SIMSIMD_VERSION}/,\n"
    "  - unpack the simsimd-${DRALM_SIMSIMD_VERSION} sdist anywhere and pass\n"
    "    -DSIMSIMD_SOURCE_DIR=<that directory> (through pip:\n"
    "    -Ccmake.define.SIMSIMD_SOURCE_DIR=<that directory>),\n"
    "  - install from the dralm sdist (scripts/sdist.sh), which carries the source.")

if(SIMSIMD_SOURCE_DIR)
  if(NOT EXISTS "${SIMSIMD_SOURCE_DIR}/c/lib.c")
    message(FATAL_ERROR "SIMSIMD_SOURCE_DIR=${SIMSIMD_SOURCE_DIR} holds no c/lib.c: it must "
                        "be an unpacked SimSIMD ${DRALM_SIMSIMD_VERSION} source.\n" ${_sd_how_to})
  endif()
  set(_sd_dir "${SIMSIMD_SOURCE_DIR}")
elseif(EXISTS "${_sd_vendored}/c/lib.c")
  set(_sd_dir "${_sd_vendored}")
elseif(EXISTS "${_sd_fetched}/c/lib.c")
  set(_sd_dir "${_sd_fetched}")
elseif(DRALM_FETCH_SIMSIMD)
  message(STATUS "SimSIMD ${DRALM_SIMSIMD_VERSION}: source not found, downloading its sdist with pip")
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  file(MAKE_DIRECTORY "${_sd_fetched_root}")
  execute_process(
    COMMAND "${Python3_EXECUTABLE}" -m pip download --no-deps --no-binary=simsimd
            --disable-pip-version-check --quiet --retries 1 --timeout 30
            "simsimd==${DRALM_SIMSIMD_VERSION}"
            -d "${_sd_fetched_root}"
    RESULT_VARIABLE _sd_rc OUTPUT_VARIABLE _sd_out ERROR_VARIABLE _sd_out)
  set(_sd_archive "${_sd_fetched_root}/simsimd-${DRALM_SIMSIMD_VERSION}.tar.gz")
  if(NOT _sd_rc EQUAL 0 OR NOT EXISTS "${_sd_archive}")
    # pip's own last words (its ERROR lines), without the retry chatter before them.
    string(REGEX MATCHALL "ERROR:[^\n]*" _sd_errors "${_sd_out}")
    if(_sd_errors)
      list(JOIN _sd_errors "\n" _sd_out)
    endif()
    string(STRIP "${_sd_out}" _sd_out)
    message(FATAL_ERROR
            "SimSIMD ${DRALM_SIMSIMD_VERSION}'s source is missing, and downloading it with "
            "`${Python3_EXECUTABLE} -m pip download simsimd==${DRALM_SIMSIMD_VERSION}` failed "
            "(no network, or no pip in the build environment). pip said:\n${_sd_out}\n"
            ${_sd_how_to})
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_sd_archive}" DESTINATION "${_sd_fetched_root}")
  set(_sd_dir "${_sd_fetched}")
else()
  message(FATAL_ERROR "SimSIMD ${DRALM_SIMSIMD_VERSION}'s source is missing and "
                      "DRALM_FETCH_SIMSIMD is OFF.\n" ${_sd_how_to})
endif()
message(STATUS "SimSIMD ${DRALM_SIMSIMD_VERSION} source: ${_sd_dir}")

add_library(simsimd STATIC "${_sd_dir}/c/lib.c")
target_include_directories(simsimd SYSTEM PUBLIC "${_sd_dir}/include")
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
