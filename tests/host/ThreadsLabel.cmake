# velt_threads_label(TARGET): gives every test discovered in TARGET the label
# "threads" and an environment with both QT_QPA_PLATFORM and VELT_DATA_DIR,
# once discovery has run. (gtest_discover_tests splits a list-valued property
# into separate arguments, so a list cannot be passed through its PROPERTIES;
# set_tests_properties after discovery takes it whole.)
function(velt_threads_label target)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_threads_label.cmake)
  file(WRITE ${script}
    "if(${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS threads\n"
    "    ENVIRONMENT \"QT_QPA_PLATFORM=offscreen;VELT_DATA_DIR=${VELT_DATA_DIR}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
