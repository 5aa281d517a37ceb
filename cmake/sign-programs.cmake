# Runs after CPack staged (and stripped) the release, before each package is
# made: signs the programs when a certificate is given (scripts/sign-file).
file(GLOB_RECURSE programs ${CPACK_TEMPORARY_DIRECTORY}/*.exe)
execute_process(COMMAND ${CPACK_KESTRIX_SCRIPTS}/sign-file ${programs} COMMAND_ERROR_IS_FATAL ANY)
