# kzb_header_libraries: CLI11 and nlohmann/json, both header-only. A native build finds them
# as packages. A cross build must not put the host's /usr/include on the target's include
# path, where the host's C library headers would shadow mingw's: it gets a folder of its own
# holding only links to the two libraries' header folders.
if(CMAKE_CROSSCOMPILING)
  set(KZB_HOST_HEADERS /usr/include CACHE PATH "Where the host keeps CLI11's and nlohmann/json's headers")
  set(kzb_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${kzb_headers})
  foreach(library CLI nlohmann)
    if(NOT EXISTS ${KZB_HOST_HEADERS}/${library})
      message(FATAL_ERROR "${KZB_HOST_HEADERS}/${library} is missing: install libcli11-dev and nlohmann-json3-dev")
    endif()
    file(CREATE_LINK ${KZB_HOST_HEADERS}/${library} ${kzb_headers}/${library} SYMBOLIC)
  endforeach()
  add_library(kzb_header_libraries INTERFACE)
  target_include_directories(kzb_header_libraries SYSTEM INTERFACE ${kzb_headers})
else()
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json 3 CONFIG REQUIRED)
  add_library(kzb_header_libraries INTERFACE)
  target_link_libraries(kzb_header_libraries INTERFACE CLI11::CLI11 nlohmann_json::nlohmann_json)
endif()
