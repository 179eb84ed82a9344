# What `cmake --install` puts under its prefix: the public headers, one library, the
# three programs, the CMake package FakeSharedMem and the pkg-config file kxfakeshm.pc.
#
# The installed library is made of the objects of the four libraries of this tree, so
# that a user links one library and never sees kxcommon, kxlog or kxconnectshm.
# Static by default; with -DBUILD_SHARED_LIBS=ON a shared object (SONAME
# libkxfakeshm.so.<major>) that exports only the public API (kxfakeshm.map) and holds
# the one copy of the library's singletons. The programs of this tree keep linking the
# static libraries, whose internals they use.

include(CMakePackageConfigHelpers)

# A user's program includes kxfakeshm/FakeSharedMem.h and nothing else: these two
# headers include only standard headers and each other.
set(KX_PUBLIC_HEADERS kxfakeshm/FakeSharedMem.h kxfakeshm/Tuning.h)
set(KX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/FakeSharedMem)
set(KX_PACKAGE_BINARY_DIR ${PROJECT_BINARY_DIR}/package)

add_library(kxfakeshm_package
  $<TARGET_OBJECTS:kxfakeshm> $<TARGET_OBJECTS:kxconnectshm>
  $<TARGET_OBJECTS:kxlog> $<TARGET_OBJECTS:kxcommon>)
set_target_properties(kxfakeshm_package PROPERTIES
  OUTPUT_NAME kxfakeshm
  EXPORT_NAME kxfakeshm
  ARCHIVE_OUTPUT_DIRECTORY ${KX_PACKAGE_BINARY_DIR}
  LIBRARY_OUTPUT_DIRECTORY ${KX_PACKAGE_BINARY_DIR}
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(kxfakeshm_package INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The libraries the objects above call into. The same list, by other names, is in
# FakeSharedMemConfig.cmake.in (find_dependency) and below (KX_PC_*).
target_link_libraries(kxfakeshm_package PRIVATE
  nng::nng yaml-cpp spdlog::spdlog fmt::fmt Threads::Threads rt)
# An installed sanitizer build hands its sanitizer on: its objects need the runtime.
target_compile_options(kxfakeshm_package INTERFACE ${KX_SANITIZE_COMPILE_FLAGS})
target_link_options(kxfakeshm_package INTERFACE ${KX_SANITIZE_LINK_FLAGS})

set(KX_PC_CFLAGS ${KX_SANITIZE_COMPILE_FLAGS})
set(KX_PC_LIBS ${KX_SANITIZE_LINK_FLAGS})
if(BUILD_SHARED_LIBS)
  set(_map ${CMAKE_CURRENT_LIST_DIR}/kxfakeshm.map)
  target_link_options(kxfakeshm_package PRIVATE
    -Wl,--version-script=${_map} -Wl,--no-undefined)
  set_property(TARGET kxfakeshm_package APPEND PROPERTY LINK_DEPENDS ${_map})
  set(KX_PACKAGE_STATIC FALSE)
  set(KX_PC_REQUIRES "")
else()
  # A static archive leaves its dependencies to its user's link.
  set(KX_PACKAGE_STATIC TRUE)
  set(KX_PC_REQUIRES "spdlog fmt yaml-cpp")
  list(APPEND KX_PC_LIBS -lnng -lrt -pthread)
endif()
list(JOIN KX_PC_CFLAGS " " KX_PC_CFLAGS)
list(JOIN KX_PC_LIBS " " KX_PC_LIBS)

install(TARGETS kxfakeshm_package EXPORT FakeSharedMemTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kxfakeshm)
install(EXPORT FakeSharedMemTargets NAMESPACE FakeSharedMem:: DESTINATION ${KX_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/FakeSharedMemConfig.cmake.in
  ${KX_PACKAGE_BINARY_DIR}/FakeSharedMemConfig.cmake
  INSTALL_DESTINATION ${KX_PACKAGE_DIR})
write_basic_package_version_file(${KX_PACKAGE_BINARY_DIR}/FakeSharedMemConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${KX_PACKAGE_BINARY_DIR}/FakeSharedMemConfig.cmake
              ${KX_PACKAGE_BINARY_DIR}/FakeSharedMemConfigVersion.cmake
        DESTINATION ${KX_PACKAGE_DIR})

# The .pc file finds its prefix from its own place, as the CMake package does, so
# that `cmake --install --prefix P` may pick any prefix.
file(RELATIVE_PATH KX_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KX_PC_PREFIX "${KX_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kxfakeshm.pc.in ${KX_PACKAGE_BINARY_DIR}/kxfakeshm.pc
               @ONLY)
install(FILES ${KX_PACKAGE_BINARY_DIR}/kxfakeshm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kxfakeshm-connect-client kxfakeshm-core-peer kxfakeshm-bench
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
