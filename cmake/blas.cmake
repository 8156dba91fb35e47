# The exact batch scan computes its distances as matrix products through OpenBLAS, taken
# from the scipy-openblas32 wheel (headers, one shared library and a helper module that
# says where they are; the OpenBLAS build NumPy and SciPy ship). The installed extension
# finds the library in that package beside it (RPATH $ORIGIN/scipy_openblas32/lib), so
# the package is a run-time dependency as well as a build one.
#   DRALM_BLAS=AUTO (default): use it when the build's Python can import it;
#   DRALM_BLAS=ON: stop when it cannot; DRALM_BLAS=OFF: the per-query scan only.
# -DSCIPY_OPENBLAS_DIR=<package directory> names the package instead of importing it.
set(DRALM_BLAS "AUTO" CACHE STRING "Exact batch scans through OpenBLAS: AUTO, ON or OFF")
set_property(CACHE DRALM_BLAS PROPERTY STRINGS AUTO ON OFF)
set(SCIPY_OPENBLAS_DIR "" CACHE PATH "The scipy_openblas32 package directory (holds include/, lib/)")

set(DRALM_HAVE_BLAS OFF)
if(NOT DRALM_BLAS STREQUAL "OFF")
  set(_ob_dir "${SCIPY_OPENBLAS_DIR}")
  if(NOT _ob_dir)
    if(NOT Python_EXECUTABLE)
      find_package(Python 3.11 COMPONENTS Interpreter)
    endif()
    if(Python_EXECUTABLE)
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -c
                "import os, scipy_openblas32 as s; print(os.path.dirname(s.__file__), end='')"
        RESULT_VARIABLE _ob_rc OUTPUT_VARIABLE _ob_out ERROR_QUIET)
      if(_ob_rc EQUAL 0)
        set(_ob_dir "${_ob_out}")
      endif()
    endif()
  endif()
  set(_ob_lib "${_ob_dir}/lib/libscipy_openblas.so")
  if(_ob_dir AND EXISTS "${_ob_dir}/include/cblas.h" AND EXISTS "${_ob_lib}")
    set(DRALM_HAVE_BLAS ON)
    add_library(dralm_openblas SHARED IMPORTED)
    set_target_properties(dralm_openblas PROPERTIES
      IMPORTED_LOCATION "${_ob_lib}" IMPORTED_SONAME "libscipy_openblas.so"
      INTERFACE_INCLUDE_DIRECTORIES "${_ob_dir}/include")
    message(STATUS "Exact batch scans through OpenBLAS from ${_ob_dir}")
  elseif(DRALM_BLAS STREQUAL "ON")
    message(FATAL_ERROR
            "DRALM_BLAS=ON but the scipy-openblas32 package was not found (looked in "
            "'${_ob_dir}'). Install it into the build's Python (pip install scipy-openblas32), "
            "pass -DSCIPY_OPENBLAS_DIR=<its package directory>, or set DRALM_BLAS=OFF.")
  else()
    message(STATUS "scipy-openblas32 not found: exact batches use the per-query scan")
  endif()
endif()
