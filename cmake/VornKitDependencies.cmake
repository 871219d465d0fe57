# The third-party libraries VornKit's subsystems link, in one table. Each row:
#   <link item> | <CMake code the installed package config runs to find it> | <pkg-config module>
#   | <Debian -dev package>
# A subsystem that links a library missing here gets a configure warning naming this file (an
# error in package builds, VK_SHARED=ON): add one row, and the installed CMake package,
# vornkit.pc and the libvornkit-dev package dependencies follow.
set(VK_DEPENDENCY_TABLE
    "Threads::Threads|find_dependency(Threads)||"
    "simdjson::simdjson|find_dependency(simdjson)|simdjson|libsimdjson-dev"
    "CURL::libcurl|find_dependency(CURL)|libcurl|libcurl4-openssl-dev"
    "OpenSSL::SSL|find_dependency(OpenSSL)|openssl|libssl-dev"
    "OpenSSL::Crypto|find_dependency(OpenSSL)|libcrypto|libssl-dev"
    "SQLite::SQLite3|find_dependency(SQLite3)|sqlite3|libsqlite3-dev"
    "stb||stb|libstb-dev"
    "PkgConfig::PLIST|vk_find_pkg(PLIST libplist-2.0)|libplist-2.0|libplist-dev"
    "PkgConfig::SYSTEMD|vk_find_pkg(SYSTEMD libsystemd)|libsystemd|libsystemd-dev"
    "PkgConfig::SODIUM|vk_find_pkg(SODIUM libsodium)|libsodium|libsodium-dev"
    "PkgConfig::MPV|vk_find_pkg(MPV mpv)|mpv|libmpv-dev"
    "PkgConfig::LIBSECRET|vk_find_pkg(LIBSECRET libsecret-1)|libsecret-1|libsecret-1-dev"
    "PkgConfig::GLIB|vk_find_pkg(GLIB glib-2.0)|glib-2.0|libglib2.0-dev"
    "SDBusCpp::sdbus-c++|find_dependency(sdbus-c++)|sdbus-c++|libsdbus-c++-dev"
    "PkgConfig::PULSE|vk_find_pkg(PULSE libpulse)|libpulse|libpulse-dev")

# vk_dependency_row(<link item> <out-var>): the row of <link item> as a list of four fields; an
# empty row, with a warning (an error when VK_SHARED), when the table has none.
function(vk_dependency_row item out)
  foreach(row IN LISTS VK_DEPENDENCY_TABLE)
    string(REPLACE "|" ";" fields "${row}")
    list(GET fields 0 key)
    if(key STREQUAL item)
      set(${out} "${fields}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(level WARNING)
  if(VK_SHARED)
    set(level FATAL_ERROR)
  endif()
  message(${level} "VornKit links '${item}', which cmake/VornKitDependencies.cmake does not "
                   "list: add a row saying how an installed VornKit finds it.")
  set(${out} "${item};;;" PARENT_SCOPE)
endfunction()
