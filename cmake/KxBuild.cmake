# Project-wide compile settings: warnings, sanitizers, the log's source paths and
# the version string shown by the log facade.

add_compile_options(-Wall -Wextra)
if(KX_WERROR)
  add_compile_options(-Werror)
endif()

# Log lines name the calling file by its path within the tree.
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
# ccache with a base directory hands the compiler paths relative to the build
# directory instead; they are mapped the same way.
file(RELATIVE_PATH _kx_source_from_build ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
if(_kx_source_from_build)
  string(REGEX REPLACE "([^/])$" "\\1/" _kx_source_from_build "${_kx_source_from_build}")
  add_compile_options(-fmacro-prefix-map=${_kx_source_from_build}=)
endif()

# KX_SANITIZE_COMPILE_FLAGS / KX_SANITIZE_LINK_FLAGS: also handed to the users of
# an installed sanitizer build, whose archive needs the sanitizer's runtime.
set(KX_SANITIZE_COMPILE_FLAGS)
set(KX_SANITIZE_LINK_FLAGS)
if(KX_SANITIZE STREQUAL "address")
  set(KX_SANITIZE_COMPILE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer
                                -fno-sanitize-recover=undefined)
  set(KX_SANITIZE_LINK_FLAGS -fsanitize=address,undefined)
elseif(KX_SANITIZE STREQUAL "thread")
  set(KX_SANITIZE_COMPILE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  set(KX_SANITIZE_LINK_FLAGS -fsanitize=thread)
elseif(NOT KX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KX_SANITIZE must be address, thread or empty")
endif()
add_compile_options(${KX_SANITIZE_COMPILE_FLAGS})
add_link_options(${KX_SANITIZE_LINK_FLAGS})
if(KX_SANITIZE)
  # Tests pick timings that suit a build running several times slower.
  add_compile_definitions(KX_SANITIZER_BUILD=1)
  # GCC's flow analysis under sanitizer instrumentation reports false
  # maybe-uninitialized warnings inside the standard library (<regex>, <optional>).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

find_package(Git QUIET)
set(KX_GIT_REVISION "unknown")
if(GIT_FOUND AND EXISTS "${CMAKE_SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE _rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0 AND _rev)
    set(KX_GIT_REVISION "${_rev}")
  endif()
endif()
set(KX_VERSION_STRING "${PROJECT_VERSION}-${KX_GIT_REVISION}")

# kx_flatbuffers(<target> <schema.fbs>...): compiles schemas with flatc at build time
# and exposes the generated headers to <target>.
function(kx_flatbuffers target)
  set(outdir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(headers)
  foreach(schema ${ARGN})
    get_filename_component(name ${schema} NAME_WE)
    set(header ${outdir}/${name}_generated.h)
    add_custom_command(
      OUTPUT ${header}
      COMMAND ${FLATC} --cpp --gen-object-api --scoped-enums -o ${outdir} ${CMAKE_CURRENT_SOURCE_DIR}/${schema}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${schema}
      COMMENT "flatc ${schema}"
      VERBATIM)
    list(APPEND headers ${header})
  endforeach()
  add_custom_target(${target}_schemas DEPENDS ${headers})
  add_dependencies(${target} ${target}_schemas)
  target_include_directories(${target} PUBLIC ${outdir})
endfunction()
