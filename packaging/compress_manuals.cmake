# Run by cpack after it has installed a package's files into its staging folder. The Debian
# package keeps its manual pages and its changelog compressed, with no name or time in the
# header (gzip -9n), as Debian's policy asks.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE kzb_compressed "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
list(APPEND kzb_compressed "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/kzb/changelog")
foreach(file IN LISTS kzb_compressed)
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
