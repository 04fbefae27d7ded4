# The vendor's CTP trader SDK in VELKOR_CTP_SDK_DIR: its three headers and its library, under either name the
# vendor or a repackager uses. Everything is copied into the build folder first, so that nothing built or
# installed refers to the SDK folder.
#
# Defines the target thosttraderapi_se (headers and link flags) and
#   VELKOR_CTP_LIBRARY_FILE  the library's copy in the build folder, under the name the bridge will record
#   VELKOR_CTP_LIBRARY_DIR   the folder of that copy

block(PROPAGATE VELKOR_CTP_LIBRARY_FILE VELKOR_CTP_LIBRARY_DIR)

file(REAL_PATH "${VELKOR_CTP_SDK_DIR}" sdk BASE_DIRECTORY "${CMAKE_SOURCE_DIR}")
set(headers ThostFtdcTraderApi.h ThostFtdcUserApiStruct.h ThostFtdcUserApiDataType.h)
set(library_names thosttraderapi_se.so libthosttraderapi_se.so)

set(missing "")
foreach(header IN LISTS headers)
  if(NOT EXISTS "${sdk}/${header}")
    list(APPEND missing "${header}")
  endif()
endforeach()
set(library "")
foreach(name IN LISTS library_names)
  if(EXISTS "${sdk}/${name}")
    set(library "${sdk}/${name}")
    break()
  endif()
endforeach()
if(NOT library)
  list(APPEND missing "thosttraderapi_se.so (or libthosttraderapi_se.so)")
endif()
if(missing)
  list(JOIN missing ", " missing)
  message(FATAL_ERROR "VELKOR_CTP_SDK=${VELKOR_CTP_SDK_DIR}: ${sdk} lacks ${missing}")
endif()

# The name the dynamic linker will look for: the library's SONAME if it has one, else its file name (a library
# without SONAME linked through -l:<name> is recorded under that bare name, never under its path).
if(NOT CMAKE_READELF)
  find_program(CMAKE_READELF NAMES readelf REQUIRED)
endif()
execute_process(COMMAND "${CMAKE_READELF}" -d "${library}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "VELKOR_CTP_SDK: ${library} is not a shared library readelf can read")
endif()
if(dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]+)\\]")
  set(recorded_name "${CMAKE_MATCH_1}")
else()
  get_filename_component(recorded_name "${library}" NAME)
endif()

set(stage "${CMAKE_BINARY_DIR}/ctp-sdk")
file(MAKE_DIRECTORY "${stage}/include" "${stage}/lib")
foreach(header IN LISTS headers)
  file(COPY_FILE "${sdk}/${header}" "${stage}/include/${header}" ONLY_IF_DIFFERENT)
endforeach()
# Only the library asked for this time stays in the stage.
file(GLOB staged LIST_DIRECTORIES false "${stage}/lib/*")
list(REMOVE_ITEM staged "${stage}/lib/${recorded_name}")
if(staged)
  file(REMOVE ${staged})
endif()
file(COPY_FILE "${library}" "${stage}/lib/${recorded_name}" ONLY_IF_DIFFERENT)
set(VELKOR_CTP_LIBRARY_FILE "${stage}/lib/${recorded_name}")
set(VELKOR_CTP_LIBRARY_DIR "${stage}/lib")
message(STATUS "CTP trader API: vendor SDK ${sdk}, library ${library} (installed as ${recorded_name})")

add_library(thosttraderapi_se INTERFACE)
# The vendor's headers are not held to our warning flags.
target_include_directories(thosttraderapi_se SYSTEM INTERFACE "${stage}/include")
target_link_directories(thosttraderapi_se INTERFACE "${stage}/lib")
target_link_libraries(thosttraderapi_se INTERFACE "-l:${recorded_name}")
set_target_properties(thosttraderapi_se PROPERTIES INTERFACE_LINK_DEPENDS "${VELKOR_CTP_LIBRARY_FILE}")
install(FILES "${VELKOR_CTP_LIBRARY_FILE}" DESTINATION velkor COMPONENT bridge)
endblock()
