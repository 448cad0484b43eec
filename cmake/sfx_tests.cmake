# What the tests of the sfx tool need: the tool's library in-process, the
# binary itself, and (when installed) the mingw-w64 compilers to build small
# Windows programs as stubs for the PE writer, and Wine to run them.
find_program(MINGW_I686_GCC NAMES i686-w64-mingw32-gcc)
find_program(MINGW_X86_64_GCC NAMES x86_64-w64-mingw32-gcc)
find_program(MINGW_I686_WINDRES NAMES i686-w64-mingw32-windres)
find_program(MINGW_X86_64_WINDRES NAMES x86_64-w64-mingw32-windres)
find_program(MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump)
find_program(WINE64_EXE NAMES wine64 wine PATHS /usr/lib/wine)
# Signing a packed launcher with a throwaway certificate.
find_program(OSSLSIGNCODE_EXE NAMES osslsigncode)
find_program(OPENSSL_EXE NAMES openssl)
foreach(tool MINGW_I686_GCC MINGW_X86_64_GCC MINGW_I686_WINDRES MINGW_X86_64_WINDRES MINGW_OBJDUMP WINE64_EXE
             OSSLSIGNCODE_EXE OPENSSL_EXE)
  if(NOT ${tool})
    set(${tool} "")
  endif()
endforeach()
if(NOT LAUNCHER_WINE_TESTS)
  set(WINE64_EXE "")  # Wine runs only in the builds that run the Wine tests
endif()

target_link_libraries(unit_tests PRIVATE sfxlib)
add_dependencies(unit_tests sfx)
target_compile_definitions(unit_tests PRIVATE
  SFX_EXE="$<TARGET_FILE:sfx>"
  MINGW_I686_GCC="${MINGW_I686_GCC}"
  MINGW_X86_64_GCC="${MINGW_X86_64_GCC}"
  MINGW_I686_WINDRES="${MINGW_I686_WINDRES}"
  MINGW_X86_64_WINDRES="${MINGW_X86_64_WINDRES}"
  MINGW_OBJDUMP="${MINGW_OBJDUMP}"
  WINE64_EXE="${WINE64_EXE}"
  OSSLSIGNCODE_EXE="${OSSLSIGNCODE_EXE}"
  OPENSSL_EXE="${OPENSSL_EXE}")
