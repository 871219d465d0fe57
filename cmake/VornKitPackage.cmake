# What `cmake --install` puts in place and what CPack packs, derived from the subsystems that
# vk_module() declared: a new subsystem is installed, exported and packaged without a change here.
#
#   lib/libvornkit.so.<version>         the shared library (VK_SHARED=ON), SONAME libvornkit.so.0
#   lib/libvornkit-<subsystem>.a        one static library per subsystem (per platform service:
#                                       libvornkit-platform-http.a, ...)
#   include/VornKit/<Subsystem>/*.h     the public headers (include/VornKit/Platform/<Service>/),
#                                       include/VornKit/Export.h
#   lib/cmake/VornKit/                  the CMake package: VornKit::VornKit, VornKit::<Subsystem>,
#                                       VornKit::Platform<Service>, VornKit::Platform (all services)
#   lib/pkgconfig/vornkit.pc            for hosts not on CMake
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/VornKitDependencies.cmake)

option(VK_SHARED "Also build the shared library libvornkit.so (installed as VornKit::VornKit)" OFF)
option(VK_STRIP_ARCHIVES "Install the static libraries without their debug sections" OFF)
set(VK_SOVERSION 0)
set(VK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VornKit)
if(VK_SHARED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

# vk_install_module(<target> <Name> <header files>...): installs and exports a subsystem library
# as VornKit::<Name> with its headers under include/VornKit/<folder>/, <folder> being where the
# calling CMakeLists.txt sits below VornKit/ (file libvornkit-<folder>.a, lower case, '/' as '-':
# libvornkit-api.a, libvornkit-platform-http.a). vk_module calls it for every subsystem; a
# library declared by hand (one kept outside VornKit::VornKit, such as VornKit::Mpv) calls it
# once itself.
function(vk_install_module target name)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/VornKit ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "-" lower "${folder}")
  string(TOLOWER "${lower}" lower)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name} OUTPUT_NAME vornkit-${lower})
  set_property(TARGET ${target} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
               "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  install(TARGETS ${target} EXPORT VornKitTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT dev)
  if(VK_STRIP_ARCHIVES)
    # As Debian's packaging does for -dev packages: the archives keep their symbols, not their
    # debug sections (which would make libvornkit-dev some twenty times larger).
    install(
      CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libvornkit-${lower}.a\")"
      COMPONENT dev)
  endif()
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/VornKit/${folder} COMPONENT dev)
  set_property(GLOBAL APPEND PROPERTY VK_INSTALLED ${target})
endfunction()

# The third-party link items of `targets` (their installed link interfaces, $<LINK_ONLY:...> and
# $<INSTALL_INTERFACE:...> unwrapped).
function(vk_third_party_links out)
  set(deps "")
  foreach(t IN LISTS ARGN)
    get_target_property(libs ${t} INTERFACE_LINK_LIBRARIES)
    foreach(lib IN LISTS libs)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" lib "${lib}")
      string(REGEX REPLACE "^\\$<INSTALL_INTERFACE:(.*)>$" "\\1" lib "${lib}")
      if(lib AND NOT lib MATCHES "^VornKit" AND NOT lib MATCHES "^\\$<BUILD_INTERFACE:")
        list(APPEND deps ${lib})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES deps)
  set(${out} "${deps}" PARENT_SCOPE)
endfunction()

# vk_package_library(): called once after every subsystem is declared. Builds the shared library
# (VK_SHARED), writes the CMake package and vornkit.pc, and sets up CPack.
function(vk_package_library)
  get_property(modules GLOBAL PROPERTY VK_MODULES)

  # Third-party link items of the shared library and of every installed library, and the
  # compile definitions hosts need.
  get_property(installed GLOBAL PROPERTY VK_INSTALLED)
  vk_third_party_links(deps ${modules})
  vk_third_party_links(all_deps ${installed})
  set(defs "")
  foreach(m IN LISTS modules)
    get_target_property(d ${m} INTERFACE_COMPILE_DEFINITIONS)
    if(d)
      list(APPEND defs ${d})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES defs)

  set(find_code "")
  set(pc_modules "")
  set(dev_packages "")
  foreach(dep IN LISTS all_deps)
    vk_dependency_row(${dep} row)
    list(GET row 1 code)
    list(GET row 2 pc)
    list(GET row 3 deb)
    if(code)
      string(APPEND find_code "${code}\n")
    endif()
    if(pc AND dep IN_LIST deps)
      list(APPEND pc_modules ${pc})
    endif()
    if(deb)
      list(APPEND dev_packages ${deb})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES pc_modules)
  list(REMOVE_DUPLICATES dev_packages)

  # Every subsystem statically, as one target.
  add_library(VornKitStatic INTERFACE)
  target_link_libraries(VornKitStatic INTERFACE ${modules})
  set_target_properties(VornKitStatic PROPERTIES EXPORT_NAME Static)
  install(TARGETS VornKitStatic EXPORT VornKitTargets COMPONENT dev)

  if(VK_SHARED)
    set(objects "")
    foreach(m IN LISTS modules)
      list(APPEND objects $<TARGET_OBJECTS:${m}>)
    endforeach()
    add_library(VornKitShared SHARED ${objects})
    set_target_properties(
      VornKitShared
      PROPERTIES OUTPUT_NAME vornkit
                 EXPORT_NAME VornKit
                 VERSION ${PROJECT_VERSION}
                 SOVERSION ${VK_SOVERSION}
                 LINKER_LANGUAGE CXX
                 CXX_VISIBILITY_PRESET hidden
                 VISIBILITY_INLINES_HIDDEN ON)
    # The subsystem archives add nothing (their objects are in already) but carry the third-party
    # libraries to the link line; hosts get those libraries through the package's find code.
    target_link_libraries(VornKitShared PRIVATE ${modules})
    foreach(dep IN LISTS deps)
      target_link_libraries(VornKitShared INTERFACE $<INSTALL_INTERFACE:${dep}>)
    endforeach()
    target_link_options(VornKitShared PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL)
    target_include_directories(VornKitShared INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                       $<INSTALL_INTERFACE:include>)
    target_compile_definitions(VornKitShared INTERFACE ${defs})
    install(
      TARGETS VornKitShared
      EXPORT VornKitTargets
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
    set(main_target VornKit::VornKitShared)
    set(pc_libs "-lvornkit")
  else()
    # Static subsystems refer to each other in both directions: link them as one group.
    set(pc_libs "-Wl,--start-group")
    foreach(m IN LISTS modules)
      get_target_property(out ${m} OUTPUT_NAME)
      string(APPEND pc_libs " -l${out}")
    endforeach()
    string(APPEND pc_libs " -Wl,--end-group")
    string(STRIP "${pc_libs}" pc_libs)
  endif()

  install(FILES ${PROJECT_SOURCE_DIR}/VornKit/Export.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/VornKit COMPONENT dev)
  install(EXPORT VornKitTargets NAMESPACE VornKit:: DESTINATION ${VK_CMAKE_DIR} COMPONENT dev)

  set(VK_FIND_DEPENDENCIES "${find_code}")
  set(VK_HAS_SHARED ${VK_SHARED})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VornKitConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/VornKitConfig.cmake
                                INSTALL_DESTINATION ${VK_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/VornKitConfigVersion.cmake
                                   COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/VornKitConfig.cmake
                ${PROJECT_BINARY_DIR}/VornKitConfigVersion.cmake DESTINATION ${VK_CMAKE_DIR}
          COMPONENT dev)

  list(JOIN pc_modules " " VK_PC_REQUIRES)
  list(JOIN defs " -D" pc_defs)
  if(pc_defs)
    set(pc_defs "-D${pc_defs}")
  endif()
  set(VK_PC_CFLAGS "${pc_defs}")
  set(VK_PC_LIBS "${pc_libs}")
  # Relative to the .pc file, so that a tree installed with --prefix or DESTDIR stays usable.
  file(RELATIVE_PATH pc_up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  set(VK_PC_PREFIX "\${pcfiledir}/${pc_up}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vornkit.pc.in ${PROJECT_BINARY_DIR}/vornkit.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vornkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)

  set_property(GLOBAL PROPERTY VK_DEV_PACKAGES "${dev_packages}")
endfunction()
