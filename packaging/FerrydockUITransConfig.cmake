# CMake package configuration of FerrydockUITrans: provides Ferrydock::FerrydockUITrans.
get_filename_component(_ferrydock_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET Ferrydock::FerrydockUITrans)
  add_library(Ferrydock::FerrydockUITrans SHARED IMPORTED)
  if(MSVC)
    set(_ferrydock_implib "${_ferrydock_prefix}/lib/FerrydockUITrans.lib")
  else()
    set(_ferrydock_implib "${_ferrydock_prefix}/lib/libFerrydockUITrans.dll.a")
  endif()
  set_target_properties(Ferrydock::FerrydockUITrans PROPERTIES
    IMPORTED_LOCATION "${_ferrydock_prefix}/bin/FerrydockUITrans.dll"
    IMPORTED_IMPLIB "${_ferrydock_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrydock_prefix}/include")
  unset(_ferrydock_implib)
endif()

# Folder of the suite stand-ins, for running without the suite.
set(FerrydockUITrans_STANDIN_DIR "${_ferrydock_prefix}/standins")
unset(_ferrydock_prefix)
