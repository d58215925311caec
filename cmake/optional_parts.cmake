# The parts of the build that need packages beyond the core's, as options that say what they
# need. Included by the root CMakeLists.txt.

# An option renamed: a value given under its earlier name is taken as the new one's.
macro(tniff_renamed_option old new)
  if(DEFINED ${old})
    set(${new} ${${old}} CACHE BOOL "" FORCE)
    unset(${old} CACHE)
  endif()
endmacro()

# An option for a part that needs pkg-config modules (the rest of the arguments), found under
# prefix (PkgConfig::prefix, prefix_FOUND). Unset, it is on where the modules are found; on,
# configuring without them stops and says which package brings them.
macro(tniff_optional_part option what needs prefix)
  find_package(PkgConfig QUIET)
  if(NOT DEFINED CACHE{${option}})
    set(tniff_part_default OFF)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(${prefix}_PROBE QUIET ${ARGN})
      if(${prefix}_PROBE_FOUND)
        set(tniff_part_default ON)
      endif()
    endif()
    message(STATUS "${option}: ${tniff_part_default} (${what}; needs ${needs})")
  endif()
  option(${option} "Build ${what} (needs ${needs}); on by default where found" ${tniff_part_default})
  if(${option})
    if(NOT PKG_CONFIG_FOUND)
      message(FATAL_ERROR "${option} is on: ${what} needs pkg-config and ${needs} "
                          "(scripts/setup.sh installs them), or configure with -D${option}=OFF")
    endif()
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${ARGN})
    if(NOT ${prefix}_FOUND)
      message(FATAL_ERROR "${option} is on: ${what} needs ${needs}, which is not installed "
                          "(scripts/setup.sh installs it), or configure with -D${option}=OFF")
    endif()
  endif()
endmacro()

# The Qt image plug-in: Qt 5's Gui module and its moc, found as CMake packages (qtbase5-dev).
# Unset, it is on where they are found; on, configuring without them stops and says so.
macro(tniff_qt_part)
  if(NOT DEFINED CACHE{TNIFF_BUILD_QT})
    find_package(Qt5Gui QUIET)
    set(tniff_part_default OFF)
    if(Qt5Gui_FOUND)
      set(tniff_part_default ON)
    endif()
    message(STATUS "TNIFF_BUILD_QT: ${tniff_part_default} (the Qt image plug-in; needs qtbase5-dev)")
  endif()
  option(TNIFF_BUILD_QT "Build the Qt image plug-in (needs qtbase5-dev); on by default where found"
         ${tniff_part_default})
  if(TNIFF_BUILD_QT)
    find_package(Qt5Gui QUIET)
    if(NOT Qt5Gui_FOUND)
      message(FATAL_ERROR "TNIFF_BUILD_QT is on: the Qt image plug-in needs qtbase5-dev, which is "
                          "not installed (scripts/setup.sh installs it), or configure with "
                          "-DTNIFF_BUILD_QT=OFF")
    endif()
  endif()
endmacro()
