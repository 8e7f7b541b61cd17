# The release zip for Windows users: x86/ and x64/ with the programs of each bitness, sample/x86/
# and sample/x64/ with the sample DLL and client of each, beside the README (the quick start), the
# manual and the registry template. Each build tree installs its own bitness's folders
# (components programs and docs); scripts/make-zip.sh makes the zip from both trees at once
# (make dist), so it needs both presets built. CPack's settings name it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(PELMORA_ARCH_DIR x64)
else()
    set(PELMORA_ARCH_DIR x86)
endif()

install(TARGETS pelmora-surrogate RUNTIME DESTINATION ${PELMORA_ARCH_DIR} COMPONENT programs)

# The registration tool joins the zip once its target exists; deferred to the end of the top
# directory so that it is seen wherever its subdirectory is added.
function(pelmora_install_register_tool)
    if(TARGET pelmora-register)
        install(TARGETS pelmora-register RUNTIME DESTINATION ${PELMORA_ARCH_DIR} COMPONENT programs)
    endif()
    # What shows a user that it works: a client of one bitness using the DLL of the other.
    if(TARGET pelmora-sample AND TARGET pelmora-sample-client)
        install(TARGETS pelmora-sample pelmora-sample-client
                RUNTIME DESTINATION sample/${PELMORA_ARCH_DIR} COMPONENT programs
                ARCHIVE DESTINATION lib COMPONENT development)
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL pelmora_install_register_tool)

# Text files with Windows line endings, for Notepad and reg import.
set(dist_text ${CMAKE_BINARY_DIR}/dist-text)
foreach(document README.md MANUAL.md)
    configure_file(${PROJECT_SOURCE_DIR}/${document} ${dist_text}/${document} @ONLY NEWLINE_STYLE CRLF)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/examples/host-your-dll.reg ${dist_text}/host-your-dll.reg
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${dist_text}/README.md ${dist_text}/MANUAL.md ${dist_text}/host-your-dll.reg
        DESTINATION . COMPONENT docs)

# Both bitnesses' trees, this one and its sibling (build/mingw-x86 beside build/mingw-x64).
get_filename_component(own_tree "${CMAKE_BINARY_DIR}" NAME)
if(PELMORA_ARCH_DIR STREQUAL x86)
    string(REPLACE "x86" "x64" sibling_tree "${own_tree}")
else()
    string(REPLACE "x64" "x86" sibling_tree "${own_tree}")
endif()
get_filename_component(sibling_dir "${CMAKE_BINARY_DIR}/../${sibling_tree}" ABSOLUTE)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pelmora-surrogate)
set(CPACK_PACKAGE_VENDOR Pelmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME pelmora-surrogate-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${sibling_dir};${PROJECT_NAME};ALL;/")
include(CPack)
