# velt_threads_label(TARGET): gives every test discovered in TARGET the label
# "threads" and the test environment. velt_add_test hands gtest_discover_tests
# its ENVIRONMENT as a list, which is split into separate arguments, so the
# discovered tests get neither their LABELS nor VELT_DATA_DIR; this sets both
# once discovery has run.
function(velt_threads_label target)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_threads_label.cmake)
  file(WRITE ${script}
    "if(${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS threads\n"
    "    ENVIRONMENT \"QT_QPA_PLATFORM=offscreen;VELT_DATA_DIR=${VELT_DATA_DIR}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
