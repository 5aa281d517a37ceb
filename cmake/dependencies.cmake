# Header-only libraries from Debian (utfcpp, CLI11, nlohmann-json), OpenSSL's
# libcrypto natively, and GoogleTest. A cross build cannot take /usr/include
# as a whole (glibc's headers would shadow Windows' own), so it sees only
# these libraries' folders, linked into the build tree; GoogleTest is built
# from its sources.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(utf8cpp REQUIRED)
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json REQUIRED)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)  # SHA-256 of the quarantine
  return()
endif()

set(kestrix_host_include ${CMAKE_BINARY_DIR}/host-include)
foreach(folder CLI nlohmann utf8cpp)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: install the Debian package that provides it")
  endif()
  file(MAKE_DIRECTORY ${kestrix_host_include})
  file(CREATE_LINK /usr/include/${folder} ${kestrix_host_include}/${folder} SYMBOLIC)
endforeach()
add_library(utf8cpp INTERFACE IMPORTED)
target_include_directories(utf8cpp INTERFACE ${kestrix_host_include}/utf8cpp)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 INTERFACE ${kestrix_host_include})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${kestrix_host_include})
