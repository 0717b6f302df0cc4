# The Debian package: the server, its tools, a default configuration with Debian paths, the packet
# forwarder template, the service units and the maintainer scripts. scripts/package.sh builds it.
#
# Installed layout (paths inside the package):
#   /usr/sbin/vallorin                   /usr/bin/vallorin-cli, /usr/bin/vallorin-sim
#   /etc/vallorin/vallorin.conf          /etc/vallorin/global_conf.json   (conffiles)
#   /etc/default/vallorin                /etc/init.d/vallorin             (conffiles)
#   /lib/systemd/system/vallorin.service /usr/share/vallorin/global_conf.json (pristine template)
#   /usr/share/doc/vallorin/             operator guide, README, fleet broker examples

set(VALLORIN_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Building the package builds only what it ships, not every test and benchmark.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS vallorin RUNTIME DESTINATION sbin)
install(TARGETS vallorin-cli RUNTIME DESTINATION bin)
install(TARGETS vallorin-sim RUNTIME DESTINATION bin)

install(FILES ${VALLORIN_PACKAGING_DIR}/vallorin.conf ${CMAKE_SOURCE_DIR}/examples/global_conf.json
        DESTINATION /etc/vallorin)
install(FILES ${CMAKE_SOURCE_DIR}/examples/global_conf.json DESTINATION share/vallorin)
install(FILES ${VALLORIN_PACKAGING_DIR}/vallorin.default DESTINATION /etc/default RENAME vallorin)
install(PROGRAMS ${VALLORIN_PACKAGING_DIR}/vallorin.init DESTINATION /etc/init.d RENAME vallorin)
install(FILES ${VALLORIN_PACKAGING_DIR}/vallorin.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/docs/operator.md ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION share/doc/vallorin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/fleet DESTINATION share/doc/vallorin/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vallorin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vallorin maintainers <vallorin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LoRaWAN network server for the gateway")
set(CPACK_PACKAGE_DESCRIPTION
    "vallorin runs on the LoRa gateway between the radio's packet forwarder (UDP) and the \
applications (MQTT and local UDP ports): joins, uplinks, scheduled downlinks, ADR and a SQLite \
database of devices and sessions. Includes vallorin-cli, the operator's client.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binaries link (SQLite, jsoncpp, libmosquittopp, readline) become
# Depends through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is opened at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, ca-certificates, libcurl4")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto-clients, sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VALLORIN_PACKAGING_DIR}/debian/conffiles ${VALLORIN_PACKAGING_DIR}/debian/postinst
    ${VALLORIN_PACKAGING_DIR}/debian/prerm ${VALLORIN_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
