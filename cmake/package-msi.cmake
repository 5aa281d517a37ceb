# CPack's External generator runs this on its staged copy of the release: the
# Windows Installer package, signed when a certificate is given.
set(msi ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
execute_process(COMMAND ${CPACK_KESTRIX_SCRIPTS}/build-msi ${CPACK_PACKAGE_VERSION} ${CPACK_TEMPORARY_DIRECTORY} ${msi}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CPACK_KESTRIX_SCRIPTS}/sign-file ${msi} COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${msi})
