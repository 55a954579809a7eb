# What ships: a binary without debug information, its debug information in <binary>.debug
# beside it (found again through the binary's debug link when a crash is read), and, when
# a certificate and key are given, an Authenticode signature over the stripped binary.
set(MSICA_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM, DER or PKCS#12); empty: no signing")
set(MSICA_SIGN_KEY "" CACHE FILEPATH "Private key of the code-signing certificate (not needed for PKCS#12)")
set(MSICA_SIGN_PASSFILE "" CACHE FILEPATH "File holding the key's password, if it has one")
set(MSICA_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 time-stamp server URL, if any")

if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy of binutils-mingw-w64 is needed to split the debug information")
endif()

# msica_release_output(target): split and, when configured, sign the target after each link.
function(msica_release_output target)
    target_compile_options(${target} PRIVATE -g)
    set(binary $<TARGET_FILE:${target}>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${binary} ${binary}.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-debug --strip-unneeded --add-gnu-debuglink=${binary}.debug ${binary}
        # The debug link names the file only; objcopy reads it from the current folder.
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        COMMENT "Splitting the debug information of ${target}"
        VERBATIM)
    if(MSICA_SIGN_CERT)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E env MSICA_SIGN_PASSFILE=${MSICA_SIGN_PASSFILE}
                    MSICA_SIGN_TIMESTAMP=${MSICA_SIGN_TIMESTAMP}
                    ${PROJECT_SOURCE_DIR}/tools/sign-release.sh ${MSICA_SIGN_CERT} "${MSICA_SIGN_KEY}" ${binary}
            COMMENT "Signing ${target}"
            VERBATIM)
    endif()
endfunction()
