# Build rules shared by every deliverable: warnings as errors, sanitizers for the dev build, and
# the image helpers that make one target build for the simulated machine and for Windows.

add_compile_options(-Wall -Wextra -Wpedantic -Werror)

option(KELVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KELVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # No compiler run-time DLL has to ship with the product.
  add_link_options(-static -static-libgcc -static-libstdc++)
  math(EXPR KELVANE_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
endif()

set(KELVANE_IMAGE_DECL_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/image_decl.cpp.in")

# kelvane_executable(<target> BITS 32|64 [OUTPUT_NAME <name>] SOURCES <files...>)
# A program image. On the simulated machine every image links libwinsim and declares its
# bitness; a Windows build makes only the images of its own bitness. The file keeps its Windows
# name (<name>.exe) on every host.
function(kelvane_executable target)
  cmake_parse_arguments(ARG "" "BITS;OUTPUT_NAME" "SOURCES" ${ARGN})
  if(WIN32 AND NOT ARG_BITS EQUAL KELVANE_WINDOWS_BITS)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME ${target})
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".exe")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include ${PROJECT_SOURCE_DIR})
  if(NOT WIN32)
    set(KELVANE_IMAGE_BITS ${ARG_BITS})
    configure_file(${KELVANE_IMAGE_DECL_TEMPLATE} ${CMAKE_CURRENT_BINARY_DIR}/${target}_image.cpp @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_image.cpp)
    target_link_libraries(${target} PRIVATE winsim)
  endif()
endfunction()
