# Debian packages (`./vk package`, configured with -DVK_SHARED=ON -DCMAKE_INSTALL_PREFIX=/usr):
#   libvornkit0     the shared library (install component "runtime")
#   libvornkit-dev  headers, static subsystem libraries, CMake package, vornkit.pc ("dev")
#   vornctl         the command-line host and the reference server ("tools")
#   vornkit-desktop VornKit Desktop, with its desktop file, icon and search-provider registration
#                   ("desktop"; only when it is built: GTK 4, WebKitGTK 6.0 and libmpv found)
# Run-time dependencies come from dpkg-shlibdeps; libvornkit-dev depends on the -dev packages of
# the libraries the subsystems link (cmake/VornKitDependencies.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornkit)
set(CPACK_PACKAGE_VENDOR "VornKit")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Media-server client framework for player hosts")
set(CPACK_PACKAGE_CONTACT "VornKit developers <vornkit@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
get_property(vk_desktop_built GLOBAL PROPERTY VK_DESKTOP_BUILT)
set(CPACK_COMPONENTS_ALL runtime dev tools)
if(vk_desktop_built)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvornkit${VK_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "VornKit media-server client framework (shared library)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvornkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "VornKit media-server client framework (headers, static libraries, CMake and pkg-config files)")
get_property(vk_dev_packages GLOBAL PROPERTY VK_DEV_PACKAGES)
list(JOIN vk_dev_packages ", " vk_dev_depends)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "pkg-config, ${vk_dev_depends}")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vornctl)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "VornKit command-line host (vornctl) and reference media server (refserver)")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME vornkit-desktop)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
    "VornKit Desktop: your media server's web interface with the desktop's player (MPRIS, notifications, search, offline downloads)")
# The web interface's own player plays through GStreamer.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-good")

include(CPack)
if(VK_SHARED)
  cpack_add_component(runtime DISPLAY_NAME "VornKit shared library")
  cpack_add_component(dev DISPLAY_NAME "VornKit development files" DEPENDS runtime)
else()
  cpack_add_component(runtime DISPLAY_NAME "VornKit shared library")
  cpack_add_component(dev DISPLAY_NAME "VornKit development files")
endif()
cpack_add_component(tools DISPLAY_NAME "vornctl and refserver")
if(vk_desktop_built)
  cpack_add_component(desktop DISPLAY_NAME "VornKit Desktop")
endif()
