# The message catalogue: the template built from today's sources must be fully
# translated in every language of po/LINGUAS, and every catalogue compiles
# cleanly, with nothing fuzzy or untranslated.
file(STRINGS ${PROJECT_SOURCE_DIR}/po/LINGUAS cw_languages REGEX "^[^#]")
foreach(lang IN LISTS cw_languages)
  add_test(NAME Po.${lang}.TranslatesEveryMarkedText
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/po_check.sh ${PROJECT_SOURCE_DIR}
            ${PROJECT_SOURCE_DIR}/po/${lang}.po ${CMAKE_CURRENT_BINARY_DIR}/po-check-${lang}
            ${CW_XGETTEXT_OPTIONS})
  add_test(NAME Po.${lang}.CompilesWithNothingFuzzyOrUntranslated
    COMMAND ${MSGFMT_EXECUTABLE} --check --statistics --output-file=/dev/null
            ${PROJECT_SOURCE_DIR}/po/${lang}.po)
  set_tests_properties(Po.${lang}.CompilesWithNothingFuzzyOrUntranslated PROPERTIES
    FAIL_REGULAR_EXPRESSION "fuzzy|untranslated")
endforeach()
