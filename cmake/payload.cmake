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
  # The archive goes into the resource section as type "ZIP", id 1, compiled
  # by windres from a generated .rc; the manifest as RT_MANIFEST (24), id 1.
  set(PAYLOAD_RC ${CMAKE_BINARY_DIR}/payload.rc)
  file(WRITE ${PAYLOAD_RC}.in
"1 ZIP \"@PAYLOAD_FILE@\"
1 24 \"@WIN32_MANIFEST@\"
")
  configure_file(${PAYLOAD_RC}.in ${PAYLOAD_RC} @ONLY)
  set_source_files_properties(${PAYLOAD_RC} PROPERTIES OBJECT_DEPENDS "${PAYLOAD_FILE};${WIN32_MANIFEST}")
  add_executable(launcher WIN32 ${CMAKE_SOURCE_DIR}/entry/launcher_win32.cpp ${PAYLOAD_RC})
  target_link_libraries(launcher PRIVATE zipcore)

  # Small: optimised for size, unused functions and data dropped by the
  # linker, symbols stripped, no exceptions or RTTI anywhere in the program,
  # libgcc and libstdc++ linked in so that only system DLLs are imported
  # (kernel32, user32, shell32 and the C runtime msvcrt).
  set(WIN32_SIZE_FLAGS -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables)
  target_compile_options(zipcore PRIVATE ${WIN32_SIZE_FLAGS})
  target_compile_options(platform PRIVATE ${CORE_FLAGS} ${WIN32_SIZE_FLAGS})
  target_compile_options(launcher PRIVATE ${CORE_FLAGS} ${WIN32_SIZE_FLAGS})
  target_link_options(launcher PRIVATE -mwindows -static -s -Wl,--gc-sections)
  if(NOT LAUNCHER_PAYLOAD)
    add_dependencies(launcher demo_payload)
  endif()
endif()
