# Test PKI and Authenticode signing at build time (openssl + osslsigncode).
# Include from any directory that signs files; the PKI target is made once.
find_program(KIV_PYTHON3 python3 REQUIRED)
find_program(KIV_OSSLSIGNCODE osslsigncode REQUIRED)

set(KIV_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(KIV_PKI_STAMP ${KIV_PKI_DIR}/.complete)
set(KIV_SIGN_FILE ${PROJECT_SOURCE_DIR}/scripts/sign-file.sh)
set(KIV_SIGN_HELPERS ${PROJECT_SOURCE_DIR}/scripts/sign-helpers.py)

if(NOT TARGET kiv_test_pki)
    add_custom_command(OUTPUT ${KIV_PKI_STAMP}
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh ${KIV_PKI_DIR}
        DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-test-pki.sh
        COMMENT "Creating the test code-signing PKI")
    add_custom_target(kiv_test_pki DEPENDS ${KIV_PKI_STAMP})
endif()

# kiv_sign_file(<out> <in> <identity> [NEST] [SHA1]): <out> is <in> signed by
# <identity> of the test PKI; NEST adds a nested signature to a signed <in>;
# SHA1 signs with SHA-1 digests instead of SHA-256.
function(kiv_sign_file out in identity)
    set(options "")
    if("NEST" IN_LIST ARGN)
        list(APPEND options --nest)
    endif()
    if("SHA1" IN_LIST ARGN)
        list(APPEND options --sha1)
    endif()
    add_custom_command(OUTPUT ${out}
        COMMAND ${KIV_SIGN_FILE} ${KIV_PKI_DIR} ${identity} ${in} ${out} ${options}
        DEPENDS ${in} ${KIV_PKI_STAMP} kiv_test_pki ${KIV_SIGN_FILE}
        VERBATIM)
endfunction()
