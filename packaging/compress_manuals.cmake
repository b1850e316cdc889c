# Run by cpack after it has installed a package's files into its staging folder: the Debian
# package keeps its manual pages compressed, with no name or time in the header (gzip -9n).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE kzb_manuals "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/man1/*.1")
foreach(manual IN LISTS kzb_manuals)
  execute_process(COMMAND gzip -9nf "${manual}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
