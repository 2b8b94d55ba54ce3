# The Windows release archive: `cmake --build <dir> --target release` writes
# <dir>/dist/zelk-shim-<version>-windows-x86_64.zip and SHA256SUMS beside it
# (scripts/release.sh does it from a fresh build directory).
find_program(ZELK_PYTHON NAMES python3 REQUIRED)
set(ZELK_RELEASE_NAME zelk-shim-${PROJECT_VERSION}-windows-x86_64)
set(ZELK_RELEASE_ZIP ${CMAKE_BINARY_DIR}/dist/${ZELK_RELEASE_NAME}.zip)
set(ZELK_PACKAGING ${CMAKE_SOURCE_DIR}/packaging/windows)
add_custom_command(
  OUTPUT ${ZELK_RELEASE_ZIP} ${CMAKE_BINARY_DIR}/dist/SHA256SUMS
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist
  COMMAND ${ZELK_PYTHON} ${ZELK_PACKAGING}/make_zip.py ${ZELK_RELEASE_ZIP} ${ZELK_SOURCE_EPOCH}
          zelk-shim.exe=$<TARGET_FILE:zelk-shim>
          zelk_shim.ini=${ZELK_PACKAGING}/zelk_shim.ini
          README.txt=${ZELK_PACKAGING}/README.txt
  DEPENDS zelk-shim ${ZELK_PACKAGING}/make_zip.py ${ZELK_PACKAGING}/zelk_shim.ini ${ZELK_PACKAGING}/README.txt
  COMMENT "Packing ${ZELK_RELEASE_NAME}.zip"
  VERBATIM)
add_custom_target(release DEPENDS ${ZELK_RELEASE_ZIP})
# For scripts: the archive's name, without asking CMake again.
file(WRITE ${CMAKE_BINARY_DIR}/release_name.txt "${ZELK_RELEASE_NAME}.zip\n")
