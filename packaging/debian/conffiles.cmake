# CPack pre-build script: every file the package puts under /etc is a conffile, so dpkg keeps a
# user's edits on upgrade and removes the file only on purge.
file(GLOB_RECURSE etc_files LIST_DIRECTORIES false RELATIVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/*")
list(SORT etc_files)
set(conffiles "")
foreach(f IN LISTS etc_files)
  string(APPEND conffiles "/${f}\n")
endforeach()
file(WRITE "${CPACK_HALVEX_CONFFILES}" "${conffiles}")
