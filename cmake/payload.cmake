# The launcher executable and the archive it carries as resource "ZIP", id 1.
#
# LAUNCHER_PAYLOAD names the archive; without it the demo installer is zipped
# from demo/ at build time. A change of the payload file rebuilds the launcher.

file(GLOB_RECURSE DEMO_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/demo/common/* ${CMAKE_SOURCE_DIR}/demo/${LAUNCHER_BACKEND}/*)
set(DEMO_PAYLOAD ${CMAKE_BINARY_DIR}/demo-payload.zip)
add_custom_command(
  OUTPUT ${DEMO_PAYLOAD}
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=1700000000
          python3 ${CMAKE_SOURCE_DIR}/tools/make_demo_zip.py ${CMAKE_SOURCE_DIR}/demo ${LAUNCHER_BACKEND} ${DEMO_PAYLOAD}
          ${DEMO_EXTRA_FILES}
  DEPENDS ${DEMO_FILES} ${CMAKE_SOURCE_DIR}/tools/make_demo_zip.py ${DEMO_EXTRA_DEPENDS}
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
  add_executable(launcher ${CMAKE_SOURCE_DIR}/platform/posix/entry/launcher_main.cpp ${PAYLOAD_ASM})
  target_link_libraries(launcher PRIVATE zipcore)
  target_compile_options(launcher PRIVATE ${CORE_FLAGS})
  if(NOT LAUNCHER_PAYLOAD)
    add_dependencies(launcher demo_payload)
  endif()
endif()
