# Installs the settings file and the service unit with the paths of this
# installation. The prefix is known only now: `cmake --install --prefix` and
# CPack's staging both choose it after configuration. The examples name the
# paths of a /usr installation, which are rewritten for any other prefix.
#
# Set by the caller: HTTPD_SOURCE_DIR, HTTPD_BINARY_DIR and the relative
# GNUInstallDirs values HTTPD_SBINDIR, HTTPD_DATADIR, HTTPD_SYSCONFDIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")
# GNUInstallDirs' rule: a /usr installation keeps its settings in /etc.
if(prefix STREQUAL "/usr" AND HTTPD_SYSCONFDIR STREQUAL "etc")
    set(sysconfdir "/etc")
elseif(IS_ABSOLUTE "${HTTPD_SYSCONFDIR}")
    set(sysconfdir "${HTTPD_SYSCONFDIR}")
else()
    set(sysconfdir "${prefix}/${HTTPD_SYSCONFDIR}")
endif()
set(sbindir "${prefix}/${HTTPD_SBINDIR}")
set(sitedir "${prefix}/${HTTPD_DATADIR}/httpd/site")
set(settingsdir "${sysconfdir}/httpd")

function(install_rewritten source destination)
    file(READ "${HTTPD_SOURCE_DIR}/${source}" text)
    string(REPLACE "/usr/sbin/httpd" "${sbindir}/httpd" text "${text}")
    string(REPLACE "/usr/share/httpd/site" "${sitedir}" text "${text}")
    string(REPLACE "/etc/httpd" "${settingsdir}" text "${text}")
    get_filename_component(name "${source}" NAME)
    set(staged "${HTTPD_BINARY_DIR}/installed/${name}")
    file(WRITE "${staged}" "${text}")
    # file(INSTALL) puts DESTDIR in front of the destination itself.
    file(INSTALL DESTINATION "${destination}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${staged}")
endfunction()

install_rewritten(examples/vostrel.ini "${settingsdir}")
install_rewritten(examples/httpd.service "${prefix}/lib/systemd/system")
