# The program executables (quillmate, quillmate-certcenter, vantrel) are built
# into <build>/bin next to a copy of the shipped Config/ templates, so that a
# build folder is laid out like an installation.
set(QUILLMATE_PROGRAM_DIR ${PROJECT_BINARY_DIR}/bin)

function(quillmate_add_program name)
  add_executable(${name} ${ARGN} $<TARGET_OBJECTS:version_record>)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUILLMATE_PROGRAM_DIR})
  add_dependencies(${name} config_templates)
  install(TARGETS ${name} RUNTIME DESTINATION .)
endfunction()
