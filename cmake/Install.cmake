# Install rules: programs, the widget's resources, and the core library as a CMake package
# so a desktop application can `find_package(PyrelleCore)` and link `Pyrelle::PyrelleCore`.
include(CMakePackageConfigHelpers)

foreach(program PyrelleHelper PyrelleSimulator PyrelleWidget)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET PyrelleCore AND TARGET CSMC)
  install(TARGETS PyrelleCore CSMC pyrelle_core_common pyrelle_options pyrelle_uuid
          EXPORT PyrelleCoreTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/Sources/PyrelleCore/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/Sources/CSMC/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT PyrelleCoreTargets NAMESPACE Pyrelle::
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PyrelleCore)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PyrelleCoreConfig.cmake.in
    ${PROJECT_BINARY_DIR}/PyrelleCoreConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PyrelleCore)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/PyrelleCoreConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/PyrelleCoreConfig.cmake
                ${PROJECT_BINARY_DIR}/PyrelleCoreConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PyrelleCore)
endif()
