# vk_module(<Name> [DEPS <VornKit modules>...] [LIBS <other libraries>...])
# Builds every .cpp beside the calling CMakeLists.txt into the static library VornKit::<Name>,
# installed and exported with its headers (cmake/VornKitPackage.cmake).
# Headers are included as "VornKit/<Name>/<Type>.h".
function(vk_module name)
  cmake_parse_arguments(ARG "" "" "DEPS;LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(VornKit${name} STATIC ${srcs} ${hdrs})
  add_library(VornKit::${name} ALIAS VornKit${name})
  target_include_directories(VornKit${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # Only declarations marked VK_EXPORT (VornKit/Export.h) leave the shared library.
  set_target_properties(VornKit${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                  VISIBILITY_INLINES_HIDDEN ON)
  foreach(dep IN LISTS ARG_DEPS)
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
