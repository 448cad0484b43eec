# The launcher executable and the archive it carries as resource "ZIP", id 1.
#
# LAUNCHER_PAYLOAD names the archive; without it the demo installer is zipped
# from demo/ at build time. A change of the payload file rebuilds the launcher.

if(LAUNCHER_BACKEND STREQUAL "win32")
  # The demo installer for Windows is a program of its own, built with the
  # same toolchain and zipped as "Setup.exe". It carries the launcher's
  # manifest, so that Windows does not ask for elevation because of its name.
  enable_language(RC)
  set(WIN32_MANIFEST ${CMAKE_SOURCE_DIR}/entry/launcher.manifest)
  set(DEMO_SETUP_RC ${CMAKE_BINARY_DIR}/demo-setup.rc)
  file(WRITE ${DEMO_SETUP_RC}.in "1 24 \"@WIN32_MANIFEST@\"\n")
  configure_file(${DEMO_SETUP_RC}.in ${DEMO_SETUP_RC} @ONLY)
  set_source_files_properties(${DEMO_SETUP_RC} PROPERTIES OBJECT_DEPENDS ${WIN32_MANIFEST})
  add_executable(demo_setup WIN32 ${CMAKE_SOURCE_DIR}/demo/win32src/setup.c ${DEMO_SETUP_RC})
  set_target_properties(demo_setup PROPERTIES OUTPUT_NAME Setup)
  target_compile_options(demo_setup PRIVATE -Os -Wall -Wextra)
  target_link_options(demo_setup PRIVATE -s -static)
  set(DEMO_EXTRA_FILES "$<TARGET_FILE:demo_setup>=Setup.exe")
  set(DEMO_EXTRA_DEPENDS demo_setup)
endif()

file(GLOB_RECURSE DEMO_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/demo/common/* ${CMAKE_SOURCE_DIR}/demo/${LAUNCHER_BACKEND}/*)
set(DEMO_PAYLOAD ${CMAKE_BINARY_DIR}/demo-payload.zip)
add_custom_command(
  OUTPUT ${DEMO_PAYLOAD}
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1700000000
          python3 ${CMAKE_SOURCE_DIR}/demo/make_demo_zip.py ${CMAKE_SOURCE_DIR}/demo ${LAUNCHER_BACKEND} ${DEMO_PAYLOAD}
          ${DEMO_EXTRA_FILES}
  DEPENDS ${DEMO_FILES} ${CMAKE_SOURCE_DIR}/demo/make_demo_zip.py ${DEMO_EXTRA_DEPENDS}
  COMMENT "Zipping the demo installer"
  VERBATIM)
add_custom_target(demo_payload DEPENDS ${DEMO_PAYLOAD})

if(LAUNCHER_PAYLOAD)
  set(PAYLOAD_FILE ${LAUNCHER_PAYLOAD})
else()
  set(PAYLOAD_FILE ${DEMO_PAYLOAD})
endif()

if(LAUNCHER_BACKEND STREQUAL "posix")
  set(PAYLOAD_ASM ${CMAKE_BINARY_DIR}/payload.S)
  file(WRITE ${PAYLOAD_ASM}.in
"    .section .rodata
    .balign 16
    .global launcher_payload
launcher_payload:
    .incbin \"@PAYLOAD_FILE@\"
    .global launcher_payload_end
launcher_payload_end:
    .section .note.GNU-stack,\"\",@progbits
")
  configure_file(${PAYLOAD_ASM}.in ${PAYLOAD_ASM} @ONLY)
  set_source_files_properties(${PAYLOAD_ASM} PROPERTIES OBJECT_DEPENDS ${PAYLOAD_FILE})
  add_executable(launcher ${CMAKE_SOURCE_DIR}/entry/launcher_posix.cpp ${PAYLOAD_ASM})
  target_link_libraries(launcher PRIVATE zipcore)
  target_compile_options(launcher PRIVATE ${CORE_FLAGS})
  if(NOT LAUNCHER_PAYLOAD)
    add_dependencies(launcher demo_payload)
  endif()
endif()

if(LAUNCHER_BACKEND STREQUAL "win32")
  # The manifest without its comments, its indentation and the XML
  # declaration's standalone="yes" (it has no document type to stand alone
  # from): the copy in the program is read by the loader alone.
  file(READ ${WIN32_MANIFEST} manifest)
  string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" manifest "${manifest}")
  string(REPLACE " standalone=\"yes\"" "" manifest "${manifest}")
  string(REGEX REPLACE "\n[ \t]*" "" manifest "${manifest}")
  set(COMPACT_MANIFEST ${CMAKE_BINARY_DIR}/launcher.manifest)
  file(CONFIGURE OUTPUT ${COMPACT_MANIFEST} CONTENT "${manifest}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WIN32_MANIFEST})

  # The archive goes into the resource section as type "ZIP", id 1, compiled
  # by windres from a generated .rc; the manifest as RT_MANIFEST (24), id 1;
  # and the marker by which `sfx pack` knows a launcher from other programs:
  # type "LAUNCHER", id 1, the text "ziplauncher" (sfx/pe_resources.h).
  set(LAUNCHER_MARKER "1 LAUNCHER BEGIN \"ziplauncher\" END")
  set(PAYLOAD_RC ${CMAKE_BINARY_DIR}/payload.rc)
  file(WRITE ${PAYLOAD_RC}.in
"1 ZIP \"@PAYLOAD_FILE@\"
1 24 \"@COMPACT_MANIFEST@\"
@LAUNCHER_MARKER@
")
  configure_file(${PAYLOAD_RC}.in ${PAYLOAD_RC} @ONLY)
  set_source_files_properties(${PAYLOAD_RC} PROPERTIES OBJECT_DEPENDS "${PAYLOAD_FILE};${COMPACT_MANIFEST}")

  # launcher-stub.exe: what an author packs into with `sfx pack`. Its archive
  # is the empty one (just the 22-byte end record: signature 50 4B 05 06 and
  # zeros, written as 16-bit words), which pack replaces.
  set(STUB_RC ${CMAKE_BINARY_DIR}/launcher-stub.rc)
  file(WRITE ${STUB_RC}.in
"1 ZIP BEGIN 0x4B50, 0x0605, 0, 0, 0, 0, 0, 0, 0, 0, 0 END
1 24 \"@COMPACT_MANIFEST@\"
@LAUNCHER_MARKER@
")
  configure_file(${STUB_RC}.in ${STUB_RC} @ONLY)
  set_source_files_properties(${STUB_RC} PROPERTIES OBJECT_DEPENDS ${COMPACT_MANIFEST})

  # Small: optimised for size, unused functions dropped by the linker,
  # symbols stripped, no exceptions or RTTI anywhere in the program, libgcc
  # and libstdc++ linked in so that only system DLLs are imported (kernel32,
  # user32, shell32 and the C runtime msvcrt). No -fdata-sections: with it
  # this compiler puts zero-initialised variables into .data sections of
  # their own, which take their size in the file instead of living in .bss.
  set(WIN32_SIZE_FLAGS -Os -ffunction-sections -fno-asynchronous-unwind-tables)
  # Optimised across files at link time (-flto): the platform's one-line
  # wrappers and the helpers called once disappear into their callers. The
  # objects carry their ordinary code as well (-ffat-lto-objects), which the
  # other programs of a Windows build (sfx.exe) link as usual.
  set(WIN32_LTO_FLAGS -flto -ffat-lto-objects)
  target_compile_options(zipcore PRIVATE ${WIN32_SIZE_FLAGS} ${WIN32_LTO_FLAGS})
  # One copy of the fast inflate loop, not a second one compiled for BMI2.
  target_compile_definitions(zipcore PRIVATE INFLATE_ONE_FAST_LOOP)
  target_compile_options(platform PRIVATE ${CORE_FLAGS} ${WIN32_SIZE_FLAGS} ${WIN32_LTO_FLAGS})
  # The entry point of entry/launcher_win32.cpp in place of the C runtime's
  # start-up code (a stdcall name carries its decoration on 32-bit x86), and
  # the section layout of cmake/launcher-pe.ld.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(WIN32_ENTRY _LauncherEntry@0)
    set(WIN32_SYMBOL_PREFIX _)
  else()
    set(WIN32_ENTRY LauncherEntry)
    set(WIN32_SYMBOL_PREFIX "")
  endif()
  set(WIN32_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/launcher-pe.ld)
  # binutils 2.40 crashes when the link-time code generation of a program
  # without start-up objects calls a function that the linker had not met
  # before: libgcc's stack probe (for frames above 4 KiB) is asked for from
  # the start, and so is the C runtime's strchr, which only the generated
  # code names; the C runtime's import library is searched before the
  # system DLLs' ones that CMake names, and the launchers link the objects
  # of the two libraries rather than their archives.
  set(WIN32_LINK_FLAGS -nostartfiles -Wl,-e,${WIN32_ENTRY} -Wl,-u,___chkstk_ms -Wl,-u,${WIN32_SYMBOL_PREFIX}strchr
      -Wl,-T,${WIN32_LINKER_SCRIPT}
      ${WIN32_SIZE_FLAGS} -flto)

  foreach(program launcher launcher-stub)
    if(program STREQUAL "launcher")
      set(rc ${PAYLOAD_RC})
    else()
      set(rc ${STUB_RC})
    endif()
    # The launcher formats no text with printf, so the platform's snprintf
    # (format.cpp) stays out: its object alone would link the C runtime's
    # _vscprintf stand-in and the imports behind it.
    add_executable(${program} WIN32 ${CMAKE_SOURCE_DIR}/entry/launcher_win32.cpp ${rc}
                   $<TARGET_OBJECTS:zipcore> $<FILTER:$<TARGET_OBJECTS:platform>,EXCLUDE,format\\.cpp>)
    target_include_directories(${program} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${program} PRIVATE msvcrt)
    target_compile_options(${program} PRIVATE ${CORE_FLAGS} ${WIN32_SIZE_FLAGS} ${WIN32_LTO_FLAGS})
    target_link_options(${program} PRIVATE -mwindows -static -s -Wl,--gc-sections ${WIN32_LINK_FLAGS})
    set_property(TARGET ${program} APPEND PROPERTY LINK_DEPENDS ${WIN32_LINKER_SCRIPT})
  endforeach()
  if(NOT LAUNCHER_PAYLOAD)
    add_dependencies(launcher demo_payload)
  endif()
endif()
