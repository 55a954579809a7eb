# Stages the SMBIOS test tables beside the programs that read them (BUILD/bin/smbios).
file(GLOB MSICA_SMBIOS_TABLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/firmware/smbios/*)
file(COPY ${MSICA_SMBIOS_TABLES} DESTINATION ${CMAKE_BINARY_DIR}/bin/smbios)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MSICA_SMBIOS_TABLES})
