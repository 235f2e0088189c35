# Runs at install time, where CMAKE_INSTALL_PREFIX is the prefix the install
# was given (cmake --install --prefix, or /usr in a package), so that the unit
# starts the glimmerfen-cli installed beside it rather than the one the build
# was configured for. The install(CODE) before this sets the GLIMMERFEN_UNIT_*
# variables.
cmake_path(ABSOLUTE_PATH GLIMMERFEN_UNIT_BINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE bindir)
cmake_path(ABSOLUTE_PATH GLIMMERFEN_UNIT_DIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE unitdir)
# A user's own prefix (~/.local): systemd's user manager does not look in
# ~/.local/lib/systemd/user, only in $XDG_DATA_HOME/systemd/user.
set(data_home "$ENV{XDG_DATA_HOME}")
if(NOT IS_ABSOLUTE "${data_home}")
  set(data_home "$ENV{HOME}/.local/share")
endif()
cmake_path(NORMAL_PATH data_home)
cmake_path(ABSOLUTE_PATH GLIMMERFEN_UNIT_DATADIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
           OUTPUT_VARIABLE prefix_data)
cmake_path(NORMAL_PATH prefix_data)
if(NOT "$ENV{HOME}" STREQUAL "" AND prefix_data STREQUAL data_home)
  set(unitdir "${data_home}/systemd/user")
endif()
set(GLIMMERFEN_CLI "${bindir}/glimmerfen-cli")
configure_file("${GLIMMERFEN_UNIT_TEMPLATE}" "${GLIMMERFEN_UNIT_STAGING}" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${GLIMMERFEN_UNIT_STAGING}")
