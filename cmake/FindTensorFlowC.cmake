# Finds TensorFlow's C API and defines the imported target TensorFlow::C.
#
# Two layouts are accepted:
#  * TENSORFLOW_C_ROOT set: an unpacked official libtensorflow C archive
#    (include/tensorflow/c/c_api.h, lib/libtensorflow.so.2, lib/libtensorflow_framework.so.2).
#  * otherwise: the tensorflow package of a Python wheel installed in LF_VENV_DIR
#    (tensorflow/include, tensorflow/libtensorflow_cc.so.2, tensorflow/libtensorflow_framework.so.2).
#    The package folder is located by globbing, because importing TensorFlow takes seconds.
#    With the GPU wheel (tensorflow[and-cuda]) the CUDA libraries come as packages beside
#    it (site-packages/nvidia/<name>/lib); their folders join the rpath, so the program
#    needs no LD_LIBRARY_PATH on a GPU machine.
#
# Sets TensorFlowC_FOUND, TensorFlowC_INCLUDE_DIR, TensorFlowC_LIBRARY, TensorFlowC_FRAMEWORK_LIBRARY.

set(TENSORFLOW_C_ROOT "" CACHE PATH "Unpacked libtensorflow C archive; empty to use the wheel in the virtual environment")

if(TENSORFLOW_C_ROOT)
  find_path(TensorFlowC_INCLUDE_DIR tensorflow/c/c_api.h PATHS "${TENSORFLOW_C_ROOT}/include" NO_DEFAULT_PATH)
  find_file(TensorFlowC_LIBRARY NAMES libtensorflow.so.2 libtensorflow.so PATHS "${TENSORFLOW_C_ROOT}/lib" NO_DEFAULT_PATH)
  find_file(TensorFlowC_FRAMEWORK_LIBRARY NAMES libtensorflow_framework.so.2 libtensorflow_framework.so
            PATHS "${TENSORFLOW_C_ROOT}/lib" NO_DEFAULT_PATH)
else()
  if(NOT LF_VENV_DIR)
    set(LF_VENV_DIR "${CMAKE_SOURCE_DIR}/.venv")
  endif()
  file(GLOB _tf_package_dirs LIST_DIRECTORIES true "${LF_VENV_DIR}/lib/python3*/site-packages/tensorflow")
  if(_tf_package_dirs)
    list(SORT _tf_package_dirs)
    list(GET _tf_package_dirs -1 _tf_package_dir)
  else()
    set(_tf_package_dir "${LF_VENV_DIR}/tensorflow-not-installed")
  endif()
  find_path(TensorFlowC_INCLUDE_DIR tensorflow/c/c_api.h PATHS "${_tf_package_dir}/include" NO_DEFAULT_PATH)
  find_file(TensorFlowC_LIBRARY libtensorflow_cc.so.2 PATHS "${_tf_package_dir}" NO_DEFAULT_PATH)
  find_file(TensorFlowC_FRAMEWORK_LIBRARY libtensorflow_framework.so.2 PATHS "${_tf_package_dir}" NO_DEFAULT_PATH)
  file(GLOB TensorFlowC_CUDA_LIBRARY_DIRS LIST_DIRECTORIES true "${_tf_package_dir}/../nvidia/*/lib")
  list(SORT TensorFlowC_CUDA_LIBRARY_DIRS)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(TensorFlowC
  REQUIRED_VARS TensorFlowC_LIBRARY TensorFlowC_FRAMEWORK_LIBRARY TensorFlowC_INCLUDE_DIR
  REASON_FAILURE_MESSAGE
  "Run scripts/setup.sh to install the tensorflow-cpu wheel into .venv, or set TENSORFLOW_C_ROOT to an unpacked libtensorflow C archive.")

if(TensorFlowC_FOUND)
  # A library that links is not enough: the wheel's libraries must really export the C API.
  include(CheckCXXSourceCompiles)
  include(CMakePushCheckState)
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_INCLUDES "${TensorFlowC_INCLUDE_DIR}")
  set(CMAKE_REQUIRED_LIBRARIES "${TensorFlowC_LIBRARY}" "${TensorFlowC_FRAMEWORK_LIBRARY}")
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([[
    #include <tensorflow/c/c_api.h>
    int main() { return TF_LoadSessionFromSavedModel == nullptr ? 1 : 0; }
  ]] TensorFlowC_EXPORTS_SAVED_MODEL_LOADER)
  cmake_pop_check_state()
  if(NOT TensorFlowC_EXPORTS_SAVED_MODEL_LOADER)
    message(FATAL_ERROR
      "${TensorFlowC_LIBRARY} does not export TF_LoadSessionFromSavedModel; "
      "use the tensorflow-cpu wheel pinned in scripts/setup.sh or an official libtensorflow C archive.")
  endif()

  get_filename_component(TensorFlowC_LIBRARY_DIR "${TensorFlowC_LIBRARY}" DIRECTORY)
  set(_tf_rpath "${TensorFlowC_LIBRARY_DIR}")
  foreach(_cuda_dir IN LISTS TensorFlowC_CUDA_LIBRARY_DIRS)
    get_filename_component(_cuda_dir "${_cuda_dir}" REALPATH)
    string(APPEND _tf_rpath ":${_cuda_dir}")
  endforeach()
  if(TensorFlowC_CUDA_LIBRARY_DIRS)
    list(LENGTH TensorFlowC_CUDA_LIBRARY_DIRS _cuda_dir_count)
    message(STATUS "TensorFlow GPU wheel: ${_cuda_dir_count} CUDA library folders in the rpath")
  endif()
  if(NOT TARGET TensorFlow::C)
    add_library(TensorFlow::framework SHARED IMPORTED)
    set_target_properties(TensorFlow::framework PROPERTIES IMPORTED_LOCATION "${TensorFlowC_FRAMEWORK_LIBRARY}")
    add_library(TensorFlow::C SHARED IMPORTED)
    set_target_properties(TensorFlow::C PROPERTIES
      IMPORTED_LOCATION "${TensorFlowC_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${TensorFlowC_INCLUDE_DIR}"
      INTERFACE_LINK_LIBRARIES TensorFlow::framework
      # The program must find the libraries without LD_LIBRARY_PATH.
      INTERFACE_LINK_OPTIONS "LINKER:-rpath,${_tf_rpath}")
  endif()
endif()
mark_as_advanced(TensorFlowC_INCLUDE_DIR TensorFlowC_LIBRARY TensorFlowC_FRAMEWORK_LIBRARY)
