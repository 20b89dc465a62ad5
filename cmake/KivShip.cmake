# What ships: KivProxy.exe and SignCheck.exe with a short text, in one zip made
# by `cmake --build build/release --target package`. Nothing of the stand-ins or
# the tests goes in. Release binaries are stripped; the unstripped image stays
# beside each one in the build folder as <name>.debug (a GNU debug link names it).

# kiv_ship(<target>): the target goes into the package, stripped in Release.
function(kiv_ship target)
    install(TARGETS ${target} RUNTIME DESTINATION .)
    if(CMAKE_BUILD_TYPE STREQUAL "Release")
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
            COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
            COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
            WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
            COMMENT "Stripping ${target}; symbols kept in $<TARGET_FILE_NAME:${target}>.debug"
            VERBATIM)
    endif()
endfunction()

install(FILES ${PROJECT_SOURCE_DIR}/docs/package-readme.txt DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KivProxy)
set(CPACK_PACKAGE_VENDOR "Brontide, Inc.")
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_FILE_NAME KivProxy-${CPACK_PACKAGE_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
