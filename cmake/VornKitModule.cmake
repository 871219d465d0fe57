# The layer map: which VornKit folders each folder may include from (and so links), read from the
# fenced "layers" block of docs/ARCHITECTURE.md, the one place the map is written. The layering
# test (tests/Layering) checks every include against the same block.
set(VK_LAYER_MAP ${PROJECT_SOURCE_DIR}/docs/ARCHITECTURE.md)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VK_LAYER_MAP})

# vk_layer_deps(<folder> <out-var>): the folders `folder` ("Api", "Platform/Http") names in the
# map, as module names ("Api", "PlatformHttp"). A folder the map does not name is an error.
function(vk_layer_deps folder out)
  file(STRINGS ${VK_LAYER_MAP} lines)
  set(inside OFF)
  foreach(line IN LISTS lines)
    if(line STREQUAL "```layers")
      set(inside ON)
    elseif(inside AND line STREQUAL "```")
      break()
    elseif(inside AND line MATCHES "^([A-Za-z/]+):(.*)$")
      if(CMAKE_MATCH_1 STREQUAL folder)
        string(STRIP "${CMAKE_MATCH_2}" deps)
        string(REPLACE "/" "" deps "${deps}")
        separate_arguments(deps)
        set(${out} "${deps}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  message(FATAL_ERROR "VornKit/${folder} has no row in the layer map of docs/ARCHITECTURE.md")
endfunction()

# vk_module(<Name> [LIBS <other libraries>...])
# Builds every .cpp beside the calling CMakeLists.txt into the static library VornKit::<Name>,
# linked to the VornKit modules the layer map names for its folder, installed and exported with
# its headers (cmake/VornKitPackage.cmake). Headers are included by their folder under VornKit/:
# "VornKit/Api/ApiClient.h", "VornKit/Platform/Http/UrlSession.h" (module PlatformHttp).
function(vk_module name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/VornKit ${CMAKE_CURRENT_SOURCE_DIR})
  vk_layer_deps(${folder} deps)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(VornKit${name} STATIC ${srcs} ${hdrs})
  add_library(VornKit::${name} ALIAS VornKit${name})
  target_include_directories(VornKit${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Only declarations marked VK_EXPORT (VornKit/Export.h) leave the shared library.
  set_target_properties(VornKit${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                  VISIBILITY_INLINES_HIDDEN ON)
  foreach(dep IN LISTS deps)
    target_link_libraries(VornKit${name} PUBLIC VornKit::${dep})
  endforeach()
  target_link_libraries(VornKit${name} PUBLIC ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY VK_MODULES VornKit${name})
  vk_install_module(VornKit${name} ${name} ${hdrs})
endfunction()

# vk_test(<Name> [LIBS <libraries>...]): every .cpp beside the calling CMakeLists.txt becomes one
# GoogleTest executable <Name>Tests, linked to the whole framework and the test support library.
function(vk_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name}Tests ${srcs})
  target_link_libraries(${name}Tests PRIVATE VornKit::VornKit VornKitTestSupport ${ARG_LIBS}
                        GTest::gmock GTest::gtest)
  gtest_discover_tests(${name}Tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
