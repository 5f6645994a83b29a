# OpenSSL, TinyXML, threads and the platform libraries, as one interface target.
add_library(tlx_deps INTERFACE)

if(WIN32)
  # The MinGW builds of OpenSSL and TinyXML live in a cache outside the tree,
  # made by scripts/build-mingw-deps.sh; TLX_MINGW_DEPS points at it.
  if(NOT TLX_MINGW_DEPS)
    message(FATAL_ERROR "Set TLX_MINGW_DEPS to the folder scripts/build-mingw-deps.sh printed")
  endif()
  target_include_directories(tlx_deps INTERFACE ${TLX_MINGW_DEPS}/include)
  target_link_libraries(tlx_deps INTERFACE
    ${TLX_MINGW_DEPS}/lib/libtinyxml.a
    ${TLX_MINGW_DEPS}/lib/libssl.a
    ${TLX_MINGW_DEPS}/lib/libcrypto.a
    ws2_32 wsock32 iphlpapi crypt32 user32 gdi32 comctl32 shell32 shlwapi advapi32 ole32)
else()
  find_package(OpenSSL 3 REQUIRED)
  find_package(Threads REQUIRED)
  find_library(TINYXML_LIB tinyxml REQUIRED)
  find_path(TINYXML_INCLUDE tinyxml.h REQUIRED)
  target_include_directories(tlx_deps INTERFACE ${TINYXML_INCLUDE})
  target_link_libraries(tlx_deps INTERFACE OpenSSL::SSL OpenSSL::Crypto ${TINYXML_LIB} Threads::Threads)
endif()
