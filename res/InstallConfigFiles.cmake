# Run by `cmake --install`: puts the machine's configuration files, for administrators to
# edit, under the installation's sysconfdir, each only where no file of that name is yet
# (a reinstall keeps an edited one; the program reads the defaults shipped under <datadir>
# below it, so new defaults still arrive). DESTDIR is honoured.
#
# The one rule for the configuration folder is applied here, with the prefix of this
# installation: the folder's path relative to the program's folder goes into a file beside
# the program, which the program reads (relative, so that a tree staged with DESTDIR or
# moved as a whole finds its own).
#
# In: TVR_SYSCONFDIR (CMAKE_INSTALL_SYSCONFDIR as configured), TVR_CONFIG_FILES (a list of
# "<source file>|<path under sysconfdir>"), TVR_PROGRAM_DIR (the program's folder under
# the prefix), TVR_CONFIG_FOLDER_FILE (the name of the file beside the program),
# TVR_INSTALL_SCRATCH (a build folder for that file's contents).

# The install-time prefix's sysconfdir, by the rules of GNUInstallDirs: /etc for / and
# /usr, /etc/opt/... for /opt/..., <prefix>/etc for any other prefix (~/.local included).
if(IS_ABSOLUTE "${TVR_SYSCONFDIR}")
  set(tvr_etc "${TVR_SYSCONFDIR}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  set(tvr_etc "/etc")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
  set(tvr_etc "/etc${CMAKE_INSTALL_PREFIX}")
else()
  set(tvr_etc "${CMAKE_INSTALL_PREFIX}/${TVR_SYSCONFDIR}")
endif()

file(RELATIVE_PATH tvr_relative "${CMAKE_INSTALL_PREFIX}/${TVR_PROGRAM_DIR}" "${tvr_etc}/xdg")
file(WRITE "${TVR_INSTALL_SCRATCH}/${TVR_CONFIG_FOLDER_FILE}" "${tvr_relative}\n")
file(INSTALL "${TVR_INSTALL_SCRATCH}/${TVR_CONFIG_FOLDER_FILE}"
  DESTINATION "${CMAKE_INSTALL_PREFIX}/${TVR_PROGRAM_DIR}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
message(STATUS "Configuration folder: ${tvr_etc}/xdg")

foreach(tvr_entry IN LISTS TVR_CONFIG_FILES)
  string(FIND "${tvr_entry}" "|" tvr_bar REVERSE)
  string(SUBSTRING "${tvr_entry}" 0 ${tvr_bar} tvr_source)
  math(EXPR tvr_bar "${tvr_bar} + 1")
  string(SUBSTRING "${tvr_entry}" ${tvr_bar} -1 tvr_path)
  # file(INSTALL) adds DESTDIR itself.
  set(tvr_target "${tvr_etc}/${tvr_path}")
  set(tvr_staged "$ENV{DESTDIR}${tvr_target}")
  if(EXISTS "${tvr_staged}" OR IS_SYMLINK "${tvr_staged}")
    message(STATUS "Kept: ${tvr_staged}")
  else()
    get_filename_component(tvr_folder "${tvr_target}" DIRECTORY)
    get_filename_component(tvr_name "${tvr_target}" NAME)
    file(INSTALL "${tvr_source}" DESTINATION "${tvr_folder}" RENAME "${tvr_name}"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
