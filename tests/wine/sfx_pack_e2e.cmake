# sfx end to end under Wine (sfx_pack_e2e.py): launchers packed by the Linux
# sfx and by the Windows sfx.exe install under Wine. Runs after wine_build,
# whose build folder, launcher, Setup.exe and prefix it uses.
if(TARGET sfx AND WINE64_EXECUTABLE AND MINGW_X86_64_CXX)
  add_test(NAME wine_sfx_pack
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sfx_pack_e2e.py ${WINE_TEST_ARGS}
                   --sfx $<TARGET_FILE:sfx>)
  set_tests_properties(wine_sfx_pack PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900 SKIP_RETURN_CODE 77
                       ENVIRONMENT WINE64=${WINE64_EXECUTABLE})
else()
  add_test(NAME wine_sfx_pack COMMAND ${WINE_TEST} skip
           "the sfx tool, wine64 or x86_64-w64-mingw32-g++-win32 is missing (Debian: zlib1g-dev wine64 g++-mingw-w64-x86-64)")
  set_tests_properties(wine_sfx_pack PROPERTIES SKIP_RETURN_CODE 77)
endif()
