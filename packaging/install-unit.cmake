# Install-time half of the systemd unit's installation (see CMakeLists.txt
# here): run with the prefix actually installed to, so that ExecStart names
# the installed binary. Under /usr the unit goes to Debian's
# /lib/systemd/system; under any other prefix, to <prefix>/lib/systemd/system.
# DESTDIR applies as usual.
file(READ "${RC_UNIT_SOURCE}" unit)
string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
string(REPLACE "ExecStart=/usr/sbin/" "ExecStart=${prefix}/sbin/" unit "${unit}")
if(prefix STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
else()
  set(unit_dir "${prefix}/lib/systemd/system")
endif()
get_filename_component(name "${RC_UNIT_SOURCE}" NAME)
set(staged "${RC_UNIT_STAGING}/${name}")
file(WRITE "${staged}" "${unit}")
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${staged}")
