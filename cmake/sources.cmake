# The source lists of the module, our host and the library, for every build of them: the native
# one (module/, host/, tarniff/) and the WebAssembly one (web/), which includes this file too.
# Paths are absolute, from the root of the tree.
get_filename_component(TNIFF_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# The module: everything in TnIffFormat but its platform file, which each build picks.
set(TNIFF_MODULE_SOURCES
  ${TNIFF_ROOT}/module/shell/about_box.cpp
  ${TNIFF_ROOT}/module/shell/counted_text.cpp
  ${TNIFF_ROOT}/module/shell/entry_point.cpp
  ${TNIFF_ROOT}/module/shell/error_report.cpp
  ${TNIFF_ROOT}/module/shell/fallback_handle.cpp
  ${TNIFF_ROOT}/module/shell/hooks.cpp
  ${TNIFF_ROOT}/module/shell/host_alert.cpp
  ${TNIFF_ROOT}/module/shell/host_suites.cpp
  ${TNIFF_ROOT}/module/shell/module_instance.cpp
  ${TNIFF_ROOT}/module/shell/module_version.cpp
  ${TNIFF_ROOT}/module/shell/plugin_globals.cpp
  ${TNIFF_ROOT}/module/iffio/byte_stream.cpp
  ${TNIFF_ROOT}/module/iffio/chunk_stack.cpp
  ${TNIFF_ROOT}/module/iffio/raw_pixel_order.cpp
  ${TNIFF_ROOT}/module/iffio/scratch_buffer.cpp
  ${TNIFF_ROOT}/module/reader/depth_normalisation.cpp
  ${TNIFF_ROOT}/module/reader/file_identification.cpp
  ${TNIFF_ROOT}/module/reader/read_driver.cpp
  ${TNIFF_ROOT}/module/reader/tile_decoding.cpp
  ${TNIFF_ROOT}/module/writer/file_writer.cpp
  ${TNIFF_ROOT}/module/writer/tile_encoding.cpp
)
set(TNIFF_MODULE_PORTABLE_PLATFORM ${TNIFF_ROOT}/module/platform/platform_portable.cpp)
set(TNIFF_MODULE_WINDOWS_PLATFORM ${TNIFF_ROOT}/module/platform/platform_win32.cpp)

# Our host of the interface (portable C++, Linux and Windows).
set(TNIFF_HOST_SOURCES
  ${TNIFF_ROOT}/host/area_average.cpp
  ${TNIFF_ROOT}/host/host.cpp
  ${TNIFF_ROOT}/host/host_file.cpp
  ${TNIFF_ROOT}/host/image.cpp
  ${TNIFF_ROOT}/host/module_loader.cpp
  ${TNIFF_ROOT}/host/tracked_memory.cpp
  ${TNIFF_ROOT}/host/violation.cpp
)

# The library without its codecs: opening and saving through the module, the limits, outputs,
# the layout walker, what info says, the table of file kinds and rasters. The page links these.
set(TNIFF_LIBRARY_CORE_SOURCES
  ${TNIFF_ROOT}/tarniff/coverage.cpp
  ${TNIFF_ROOT}/tarniff/errors.cpp
  ${TNIFF_ROOT}/tarniff/frames.cpp
  ${TNIFF_ROOT}/tarniff/header_look.cpp
  ${TNIFF_ROOT}/tarniff/info_json.cpp
  ${TNIFF_ROOT}/tarniff/json_writer.cpp
  ${TNIFF_ROOT}/tarniff/layout.cpp
  ${TNIFF_ROOT}/tarniff/limits.cpp
  ${TNIFF_ROOT}/tarniff/messages.cpp
  ${TNIFF_ROOT}/tarniff/module_open.cpp
  ${TNIFF_ROOT}/tarniff/module_search.cpp
  ${TNIFF_ROOT}/tarniff/outputs.cpp
  ${TNIFF_ROOT}/tarniff/readable.cpp
  ${TNIFF_ROOT}/tarniff/shown_planes.cpp
  ${TNIFF_ROOT}/tarniff/image_files/file_kinds.cpp
  ${TNIFF_ROOT}/tarniff/image_files/raster.cpp
)
# How the outputs make, lock, replace and remove files is the system's.
if(WIN32)
  list(APPEND TNIFF_LIBRARY_CORE_SOURCES ${TNIFF_ROOT}/tarniff/outputs_win32.cpp
       ${TNIFF_ROOT}/tarniff/windows_text.cpp)
else()
  list(APPEND TNIFF_LIBRARY_CORE_SOURCES ${TNIFF_ROOT}/tarniff/outputs_posix.cpp)
endif()
# The readers and writers of PNG (libpng), Netpbm and TIFF (libtiff) behind the codec table.
set(TNIFF_LIBRARY_CODEC_SOURCES
  ${TNIFF_ROOT}/tarniff/image_files/codec_table.cpp
  ${TNIFF_ROOT}/tarniff/image_files/netpbm_file.cpp
  ${TNIFF_ROOT}/tarniff/image_files/png_file.cpp
  ${TNIFF_ROOT}/tarniff/image_files/tiff_file.cpp
)
# On Windows, PNG and TIFF files are read and written through the system's imaging component
# (WIC) in place of libpng and libtiff.
set(TNIFF_LIBRARY_WINDOWS_CODEC_SOURCES
  ${TNIFF_ROOT}/tarniff/image_files/codec_table.cpp
  ${TNIFF_ROOT}/tarniff/image_files/netpbm_file.cpp
  ${TNIFF_ROOT}/tarniff/image_files/wic_files.cpp
)
# For programs that link the module in instead of loading its file (LinkedInModule).
set(TNIFF_LIBRARY_LINKED_SOURCES ${TNIFF_ROOT}/tarniff/linked_module.cpp)
