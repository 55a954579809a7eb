# Stages the SMBIOS test tables beside the programs that read them (BUILD/bin/smbios).
file(GLOB MSICA_SMBIOS_TABLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/firmware/smbios/*)
foreach(table ${MSICA_SMBIOS_TABLES})
    get_filename_component(name ${table} NAME)
    configure_file(${table} ${CMAKE_BINARY_DIR}/bin/smbios/${name} COPYONLY)
endforeach()
