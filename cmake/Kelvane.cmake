# Build rules shared by every deliverable: warnings as errors, sanitizers for the dev build, and
# the image helpers that make one target build for the simulated machine and for Windows.

add_compile_options(-Wall -Wextra -Wpedantic -Werror)
# GCC 12 reports impossible overlaps for "text" + std::string at -O2 and above (GCC bug 105651).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()

option(KELVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KELVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

option(KELVANE_FUZZ "Build for the libFuzzer targets (clang): coverage, AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KELVANE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

option(KELVANE_TSAN "Build with ThreadSanitizer" OFF)
if(KELVANE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # No compiler run-time DLL has to ship with the product.
  add_link_options(-static -static-libgcc -static-libstdc++)
  math(EXPR KELVANE_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
endif()

set(KELVANE_IMAGE_DECL_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/image_decl.cpp.in")
set(KELVANE_UTF16_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/utf16le.sh")

# Every image lands in one folder, under its Windows file name.
set(KELVANE_BIN_DIR "${CMAKE_BINARY_DIR}/bin")

# Sources shared by the deliverables (common/, debuglog/) are compiled into each image that uses
# them, as a static helper library per bitness would be on Windows.
function(kelvane_image_setup target bits kind)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include ${PROJECT_SOURCE_DIR})
  if(WIN32)
    return()
  endif()
  set(KELVANE_IMAGE_BITS ${bits})
  set(KELVANE_IMAGE_KIND ${kind})
  configure_file(${KELVANE_IMAGE_DECL_TEMPLATE} ${CMAKE_CURRENT_BINARY_DIR}/${target}_image.cpp @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_image.cpp)
  target_link_libraries(${target} PRIVATE winsim)
endfunction()

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
  kelvane_image_setup(${target} ${ARG_BITS} exe)
endfunction()

# kelvane_program(...): like kelvane_executable, for a deliverable: it goes to the bin folder,
# and GUI programs get the Windows GUI subsystem.
function(kelvane_program target)
  cmake_parse_arguments(ARG "GUI" "BITS;OUTPUT_NAME" "SOURCES" ${ARGN})
  kelvane_executable(${target} BITS ${ARG_BITS} OUTPUT_NAME ${ARG_OUTPUT_NAME} SOURCES ${ARG_SOURCES})
  if(NOT TARGET ${target})  # an image of the other bitness
    return()
  endif()
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KELVANE_BIN_DIR})
  if(WIN32 AND ARG_GUI)
    target_link_options(${target} PRIVATE -municode -mwindows)
  elseif(WIN32)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()

# kelvane_library(<target> BITS 32|64 OUTPUT_NAME <name> [DEF <file.def>] SOURCES <files...>)
# A DLL under its Windows file name (<name>.dll). On the simulated machine it is a shared object
# that unloads completely when its last reference goes, as a DLL does.
function(kelvane_library target)
  cmake_parse_arguments(ARG "" "BITS;OUTPUT_NAME;DEF" "SOURCES" ${ARGN})
  if(WIN32 AND NOT ARG_BITS EQUAL KELVANE_WINDOWS_BITS)
    return()
  endif()
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME} PREFIX "" SUFFIX ".dll"
                                             LIBRARY_OUTPUT_DIRECTORY ${KELVANE_BIN_DIR}
                                             RUNTIME_OUTPUT_DIRECTORY ${KELVANE_BIN_DIR})
  kelvane_image_setup(${target} ${ARG_BITS} dll)
  if(WIN32)
    if(ARG_DEF)
      target_sources(${target} PRIVATE ${ARG_DEF})
    endif()
    if(ARG_BITS EQUAL 32)
      target_link_options(${target} PRIVATE -Wl,--kill-at)
    endif()
  else()
    # Unique symbols would pin the library in memory; a DLL's static state must go with it.
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

# kelvane_language_file(<out-var> <utf8-source>): the UTF-16LE file (with byte-order mark and
# CRLF line ends) that ships, made from its readable UTF-8 source.
function(kelvane_language_file out_var source)
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.txt$" "" name ${name})
  set(out ${CMAKE_BINARY_DIR}/gen/lang/${name})
  add_custom_command(OUTPUT ${out}
    COMMAND sh ${KELVANE_UTF16_SCRIPT} ${source} ${out}
    DEPENDS ${source} ${KELVANE_UTF16_SCRIPT}
    COMMENT "Language file ${name}")
  set(${out_var} ${out} PARENT_SCOPE)
endfunction()

# kelvane_resources(<target> <file.rc> SEARCH <dirs...> FILES <files...> DEPENDS <targets...>)
# The image's resources from its .rc: windres on Windows, our resource compiler elsewhere. SEARCH
# is where the files the .rc names are found, FILES those files, DEPENDS the targets making them.
function(kelvane_resources target rc)
  if(NOT TARGET ${target})
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SEARCH;DEPENDS;FILES" ${ARGN})
  list(TRANSFORM ARG_SEARCH PREPEND "-I" OUTPUT_VARIABLE flags)
  if(WIN32)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES COMPILE_OPTIONS "${flags}" OBJECT_DEPENDS "${ARG_FILES}")
  else()
    get_filename_component(name ${rc} NAME_WE)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}_resources.cpp)
    add_custom_command(OUTPUT ${out}
      COMMAND kelvane-rc compile ${rc} ${out} ${flags}
      DEPENDS kelvane-rc ${rc} ${ARG_FILES}
      COMMENT "Resources of ${target}")
    # An object library, so that tests can link the same resources into their own image.
    add_library(${target}_res OBJECT ${out})
    target_include_directories(${target}_res PRIVATE ${PROJECT_SOURCE_DIR}/platform/winsim/include)
    target_link_libraries(${target} PRIVATE ${target}_res)
    if(ARG_DEPENDS)
      add_dependencies(${target}_res ${ARG_DEPENDS})
    endif()
  endif()
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endfunction()
