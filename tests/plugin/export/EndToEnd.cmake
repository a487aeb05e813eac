if(TARGET velt_archive AND TARGET velt_codecs AND TARGET velt-archive)
  velt_add_test(export_end_to_end_tests
    SOURCES EndToEndTest.cpp FaultDrillTest.cpp EndToEndHarness.cpp EndToEndHarness.h
            ExportHarness.cpp ExportHarness.h
    LIBS plugin_core velt_archive velt_codecs PkgConfig::FFMPEG
    LABELS threads)
  target_compile_definitions(export_end_to_end_tests PRIVATE VELT_ARCHIVE_TOOL="$<TARGET_FILE:velt-archive>")
  add_dependencies(export_end_to_end_tests velt-archive)
endif()
