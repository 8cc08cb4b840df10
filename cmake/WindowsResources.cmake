# qor_windows_resources(TARGET DESCRIPTION): gives a Windows executable its
# version information (Explorer's Details tab) and its application manifest,
# res/TARGET.manifest, both filled in with the project's version.
function(qor_windows_resources target description)
  set(QOR_EXE ${target}.exe)
  set(QOR_EXE_NAME ${target})
  set(QOR_DESCRIPTION "${description}")
  set(QOR_VERSION_QUAD "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(QOR_VERSION_QUAD_DOTS "${PROJECT_VERSION}.0")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/resources)
  set(QOR_MANIFEST ${dir}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/res/${target}.manifest ${QOR_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/res/version.rc.in ${dir}/${target}_version.rc @ONLY)
  set_source_files_properties(${dir}/${target}_version.rc PROPERTIES OBJECT_DEPENDS ${QOR_MANIFEST})
  target_sources(${target} PRIVATE ${dir}/${target}_version.rc)
endfunction()
