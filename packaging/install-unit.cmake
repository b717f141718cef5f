# Install-time half of the systemd units' installation (see CMakeLists.txt
# here): run with the prefix actually installed to, so that the Exec lines
# name the installed programs. Under /usr the units go to Debian's
# /lib/systemd/system; under any other prefix, to <prefix>/lib/systemd/system.
# DESTDIR applies as usual.
string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
else()
  set(unit_dir "${prefix}/lib/systemd/system")
endif()
foreach(source IN LISTS RC_UNIT_SOURCES)
  file(READ "${source}" unit)
  string(REGEX REPLACE "(Exec[A-Za-z]*=)/usr/(sbin|libexec)/" "\\1${prefix}/\\2/" unit "${unit}")
  get_filename_component(name "${source}" NAME)
  set(staged "${RC_UNIT_STAGING}/${name}")
  file(WRITE "${staged}" "${unit}")
  file(INSTALL DESTINATION "${unit_dir}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${staged}")
endforeach()
