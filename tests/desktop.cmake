# Desktop integration as installed: everything is installed once into a
# scratch prefix, then the entry, the metadata, the file types, the images and
# the catalogue are checked there with the tools a desktop uses.
set(cw_desktop_prefix ${CMAKE_CURRENT_BINARY_DIR}/desktop-install)
set(cw_desktop_check sh ${CMAKE_CURRENT_SOURCE_DIR}/desktop_check.sh)

add_test(NAME Desktop.Install
  COMMAND ${cw_desktop_check} install ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${cw_desktop_prefix})
set_tests_properties(Desktop.Install PROPERTIES FIXTURES_SETUP desktop_install)

add_test(NAME Desktop.EntryAndMetadataValidate
  COMMAND ${cw_desktop_check} entry ${cw_desktop_prefix} ${CW_APP_ID} ${PROJECT_VERSION})
add_test(NAME Desktop.PresetFilesAreRecognised
  COMMAND ${cw_desktop_check} filetypes ${cw_desktop_prefix} ${CW_APP_ID}
          ${CMAKE_CURRENT_BINARY_DIR}/desktop-filetypes)
add_test(NAME Desktop.ImagesAtTheirSizes
  COMMAND ${cw_desktop_check} images ${cw_desktop_prefix} ${CW_APP_ID})
add_test(NAME Desktop.GermanCatalogueInstalledAndFound
  COMMAND ${cw_desktop_check} catalogue ${cw_desktop_prefix}
          ${CMAKE_CURRENT_BINARY_DIR}/desktop-catalogue)
set_tests_properties(Desktop.EntryAndMetadataValidate Desktop.PresetFilesAreRecognised
  Desktop.ImagesAtTheirSizes Desktop.GermanCatalogueInstalledAndFound
  PROPERTIES FIXTURES_REQUIRED desktop_install RESOURCE_LOCK desktop_install_prefix)
