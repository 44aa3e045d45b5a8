# What `cmake --install` puts under the prefix:
#   bin/wren                                   the tool
#   lib/libwrenkl.so, libzorhost.so, libwca.so, libwrensim.so, libwrenos.so
#   lib/zor/plugins/libzorwren.so              the plug-in, where the host looks
#   include/wren/                              kl.h and the stand-ins' headers
#   lib/cmake/Wren/                            find_package(Wren CONFIG): Wren::kl, Wren::host, ...
#   lib/pkgconfig/wren.pc, wren-kl.pc
include(CMakePackageConfigHelpers)

set(WREN_LIBS wrenkl zorhost wca wrensim wrenos)
foreach(lib ${WREN_LIBS} zorwren)
  set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endforeach()
set_target_properties(${WREN_LIBS} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(zorwren PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
set_target_properties(wren PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

# Imported names for users: Wren::kl, Wren::host, Wren::wca, Wren::sim, Wren::os.
set_target_properties(wrenkl PROPERTIES EXPORT_NAME kl)
set_target_properties(zorhost PROPERTIES EXPORT_NAME host)
set_target_properties(wca PROPERTIES EXPORT_NAME wca)
set_target_properties(wrensim PROPERTIES EXPORT_NAME sim)
set_target_properties(wrenos PROPERTIES EXPORT_NAME os)

install(TARGETS ${WREN_LIBS} EXPORT WrenTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wren)
install(TARGETS zorwren LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/zor/plugins)
install(TARGETS wren RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The headers a caller of the kernels, the host, the window system and the
# simulator needs; all in one directory.
install(FILES
  kernels/kl.h
  platform/host/zor.h platform/host/zor_object.h platform/host/zor_region.h platform/host/zor_lookup.h platform/host/zor_interpolation.h platform/host/zor_kernel.h platform/host/zor_dispatch.h
  platform/wca/wca.h platform/wca/window_system.h
  platform/sim/machine.h platform/sim/accelerator.h platform/sim/snapshot.h
  accel/hw/wren_bus.h accel/hw/wren_regmap.h drivers/wren_outcome.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wren)

set(WREN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Wren)
install(EXPORT WrenTargets NAMESPACE Wren:: DESTINATION ${WREN_CMAKE_DIR})
configure_package_config_file(cmake/WrenConfig.cmake.in ${CMAKE_BINARY_DIR}/WrenConfig.cmake
                              INSTALL_DESTINATION ${WREN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/WrenConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/WrenConfig.cmake ${CMAKE_BINARY_DIR}/WrenConfigVersion.cmake
        DESTINATION ${WREN_CMAKE_DIR})

# The .pc files locate the prefix from their own place, so any --prefix works.
file(RELATIVE_PATH WREN_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
foreach(pc wren wren-kl)
  configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
