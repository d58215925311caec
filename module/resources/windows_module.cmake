# The Windows module file TnIffFormat.8bi: its resources, its entry key, its static runtime and
# where it goes. Included by the root CMakeLists.txt for Windows targets.
enable_language(RC)

set(TNIFF_RESOURCE_DIR ${CMAKE_SOURCE_DIR}/module/resources)
set(TNIFF_RESOURCE_SCRIPT ${TNIFF_RESOURCE_DIR}/TnIffFormat.rc)
target_sources(TnIffFormat PRIVATE ${TNIFF_RESOURCE_SCRIPT})
target_include_directories(TnIffFormat PRIVATE ${TNIFF_RESOURCE_DIR})

# A 64-bit host looks for the entry point under the property key "8664", a 32-bit one under
# "wx86"; the two files differ in nothing else.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set_property(SOURCE ${TNIFF_RESOURCE_SCRIPT} APPEND PROPERTY COMPILE_DEFINITIONS
               TNIFF_ENTRY_KEY_8664)
endif()

# The resource compiler reads these files itself; rebuild the resources when one changes.
set_property(SOURCE ${TNIFF_RESOURCE_SCRIPT} APPEND PROPERTY OBJECT_DEPENDS
             ${TNIFF_RESOURCE_DIR}/property_list_win32.bin
             ${TNIFF_RESOURCE_DIR}/property_list_win64.bin
             ${TNIFF_RESOURCE_DIR}/terminology.bin
             ${TNIFF_RESOURCE_DIR}/about.bmp
             ${TNIFF_RESOURCE_DIR}/alert_texts.inc
             ${TNIFF_RESOURCE_DIR}/resource_ids.h)

# A host loads the module by itself: it must need no DLL beyond the system's own, so the C++
# and GCC runtimes (and any threading support they pull in) are linked in statically.
# No link time in the file's header: the same sources give the same bytes.
target_link_options(TnIffFormat PRIVATE -static -static-libgcc -static-libstdc++
                    -Wl,--no-undefined -Wl,--no-insert-timestamp)

# The module file sits at the top of the build directory (build-win32/TnIffFormat.8bi); no
# import library, nothing links against it.
set_target_properties(TnIffFormat PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
# A copy beside the programs and DLLs that load it (build-win32/bin/: tniff.exe, TnIffCodec.dll),
# as an installation has it.
add_custom_command(TARGET TnIffFormat POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:TnIffFormat> ${CMAKE_BINARY_DIR}/bin/)
