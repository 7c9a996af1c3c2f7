# What `cmake --install` puts under the prefix: the tool, the library (shared and static) with
# its header, a pkg-config file and a CMake package. The Python module and the GStreamer plugin
# install themselves from bindings/.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
include(CMakePackageConfigHelpers)

if(TARGET quillet)
  install(TARGETS quillet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS quillet_shared quillet_static EXPORT quilletTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/quillet/quillet.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillet)

# The .pc file finds the prefix from where it lies, so `cmake --install --prefix` may move it.
file(RELATIVE_PATH QUILLET_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
# quillet.pc links libquillet.so; quillet-static.pc libquillet.a with the C++ runtime and threads
# it needs (`-lquillet` would take the .so beside it even with --static).
foreach(pc IN ITEMS quillet quillet-static)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/${pc}.pc.in ${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# A C program links libquillet.a with the C linker: it needs the C++ runtime named (threads come
# with the target already).
target_link_libraries(quillet_static INTERFACE stdc++ m)

set(quillet_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quillet)
install(EXPORT quilletTargets NAMESPACE quillet:: DESTINATION ${quillet_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/quilletConfig.cmake.in
                              quilletConfig.cmake INSTALL_DESTINATION ${quillet_cmake_dir})
write_basic_package_version_file(quilletConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quilletConfig.cmake
              ${PROJECT_BINARY_DIR}/quilletConfigVersion.cmake
        DESTINATION ${quillet_cmake_dir})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillet)
