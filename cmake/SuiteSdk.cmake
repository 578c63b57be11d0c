# Imported targets for the suite's libraries, from a folder laid out as
#   <FERRYDOCK_SUITE_SDK>/include/   the libraries' headers (KdLogger.h, IPCMessageClient.h, ...)
#   <FERRYDOCK_SUITE_SDK>/lib/       one import library each: lib<Name>.dll.a or <Name>.lib
#   <FERRYDOCK_SUITE_SDK>/bin/       the DLLs themselves (only needed to run what is built)
# The targets carry the libraries' names, so everything that links Jotter, Pipelink, ... links
# the suite's build instead of a stand-in. These are C++ libraries: their classes cross the
# boundary, so the compiler and standard library must be the ones the suite was built with.
get_filename_component(_ferrydock_sdk "${FERRYDOCK_SUITE_SDK}" ABSOLUTE)
if(NOT IS_DIRECTORY "${_ferrydock_sdk}/include")
  message(FATAL_ERROR "FERRYDOCK_SUITE_SDK: no include folder in ${_ferrydock_sdk}")
endif()

foreach(_lib Jotter Pipelink Pathkit Shelfwise Tallyhub Beaconry Consentry Probewell)
  # The SDK folder is a host path: not below the cross toolchain's find root.
  find_library(FERRYDOCK_SDK_${_lib}_IMPLIB NAMES ${_lib} PATHS "${_ferrydock_sdk}/lib"
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT FERRYDOCK_SDK_${_lib}_IMPLIB)
    message(FATAL_ERROR "FERRYDOCK_SUITE_SDK: no import library of ${_lib} in ${_ferrydock_sdk}/lib")
  endif()
  add_library(${_lib} SHARED IMPORTED)
  set_target_properties(${_lib} PROPERTIES
    IMPORTED_IMPLIB "${FERRYDOCK_SDK_${_lib}_IMPLIB}"
    IMPORTED_LOCATION "${_ferrydock_sdk}/bin/${_lib}.dll"
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrydock_sdk}/include")
endforeach()
unset(_lib)
unset(_ferrydock_sdk)
