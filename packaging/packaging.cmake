# Installing the panel like any desktop program: the three programs (rmq27-panel, rmq27-ctl and
# rmq27-projector-sim), a menu entry, the icon in the hicolor theme, AppStream metainfo, man pages
# and the package's documents; and a .deb from them through CPack (make package). Included last, once the program targets exist.
include(GNUInstallDirs)

set(RMQ27_APP_ID "io.github.rmq27.panel")
set(RMQ27_HOMEPAGE "https://github.com/rmq27/panel" CACHE STRING
    "Home page named in the package and the AppStream metainfo")
set(RMQ27_PACKAGE_MAINTAINER
    "rmq27-panel maintainers <maintainers@users.noreply.c-seed-1105113f.example>"
    CACHE STRING "Maintainer named in the package and its changelog")
set(RMQ27_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(RMQ27_PACKAGING_OUT ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${RMQ27_PACKAGING_OUT}/man)

# The installed programs get the hardening Debian builds its own with: checked string and memory
# calls (which need optimisation), and every relocation resolved and made read-only at start.
foreach(program rmq27-panel rmq27-projector-sim rmq27-ctl rmq27-device-servers)
    target_compile_definitions(${program} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    target_link_options(${program} PRIVATE LINKER:-z,relro,-z,now)
endforeach()
# They find Qt where the system keeps it: no run path ($ORIGIN/../lib, which Qt's project setup
# gives every program for bundled deployment).
set_target_properties(rmq27-panel rmq27-projector-sim rmq27-ctl rmq27-device-servers
    PROPERTIES INSTALL_RPATH "")
install(TARGETS rmq27-panel rmq27-projector-sim rmq27-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The device server support the programs load when they first open a device server, in a folder
# of the package's own (a module, not a library for others to link).
install(TARGETS rmq27-device-servers LIBRARY DESTINATION ${RMQ27_MODULE_DIR})

# The icon theme's pictures are drawn by the same code that gives the window its icon.
qt_add_executable(rmq27-make-icons ${RMQ27_PACKAGING_DIR}/make_icons.cpp)
target_link_libraries(rmq27-make-icons PRIVATE rmq27_panel)
set(RMQ27_ICON_STAMP ${RMQ27_PACKAGING_OUT}/icons.stamp)
add_custom_command(
    OUTPUT ${RMQ27_ICON_STAMP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${RMQ27_PACKAGING_OUT}/icons
    COMMAND rmq27-make-icons ${RMQ27_PACKAGING_OUT}/icons/hicolor ${RMQ27_APP_ID}
    COMMAND ${CMAKE_COMMAND} -E touch ${RMQ27_ICON_STAMP}
    DEPENDS rmq27-make-icons ${CMAKE_CURRENT_SOURCE_DIR}/src/panel/resources/image1.png
    COMMENT "Drawing the icon theme's pictures"
    VERBATIM)
install(DIRECTORY ${RMQ27_PACKAGING_OUT}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

install(FILES ${RMQ27_PACKAGING_DIR}/${RMQ27_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${RMQ27_PACKAGING_DIR}/${RMQ27_APP_ID}.metainfo.xml.in
               ${RMQ27_PACKAGING_OUT}/${RMQ27_APP_ID}.metainfo.xml @ONLY)
install(FILES ${RMQ27_PACKAGING_OUT}/${RMQ27_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Compressed without a name or time stamp, so the same source gives the same bytes.
set(RMQ27_GZIPPED)
function(rmq27_gzip source target)
    add_custom_command(
        OUTPUT ${target}
        COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${source} ${target}
        DEPENDS ${source}
        VERBATIM)
    set(RMQ27_GZIPPED ${RMQ27_GZIPPED} ${target} PARENT_SCOPE)
endfunction()

# One line per program: its page packaging/man/PROGRAM.1.in gets the version, is installed
# compressed, and a test lints it and holds it against the program's --help.
set(VERSION ${PROJECT_VERSION})
function(rmq27_man_page program)
    set(page ${RMQ27_PACKAGING_OUT}/man/${program}.1)
    configure_file(${RMQ27_PACKAGING_DIR}/man/${program}.1.in ${page} @ONLY)
    rmq27_gzip(${page} ${page}.gz)
    set(RMQ27_GZIPPED ${RMQ27_GZIPPED} PARENT_SCOPE)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    add_test(NAME man_${program}
             COMMAND ${RMQ27_PACKAGING_DIR}/man/check-man-page $<TARGET_FILE:${program}> ${page})
    set_tests_properties(man_${program} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false" TIMEOUT 60)
endfunction()
# The man page names the module where the package puts it.
set(RMQ27_DEVICE_SERVERS_INSTALLED
    "/usr/${RMQ27_MODULE_DIR}/rmq27\\-device\\-servers.so")
rmq27_man_page(rmq27-panel)
rmq27_man_page(rmq27-projector-sim)
rmq27_man_page(rmq27-ctl)

# rmq27-bridge: the program and its page as above, a systemd template unit (one instance per
# projector, installed and not enabled) and the system user it runs as, made by the package's
# postinst through systemd-sysusers. A test checks the unit with systemd-analyze where it exists.
target_compile_definitions(rmq27-bridge PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
target_link_options(rmq27-bridge PRIVATE LINKER:-z,relro,-z,now)
set_target_properties(rmq27-bridge PROPERTIES INSTALL_RPATH "")
install(TARGETS rmq27-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
rmq27_man_page(rmq27-bridge)
# The unit names the program by its installed path, which is known only when installing: the
# package installs under /usr, make install under PREFIX.
install(CODE "
    set(RMQ27_BRIDGE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/rmq27-bridge\")
    configure_file(\"${RMQ27_PACKAGING_DIR}/systemd/rmq27-bridge@.service.in\"
                   \"${RMQ27_PACKAGING_OUT}/systemd/rmq27-bridge@.service\" @ONLY)")
install(FILES ${RMQ27_PACKAGING_OUT}/systemd/rmq27-bridge@.service
        DESTINATION lib/systemd/system)
install(FILES ${RMQ27_PACKAGING_DIR}/systemd/rmq27-bridge.sysusers
        DESTINATION lib/sysusers.d RENAME rmq27-bridge.conf)
# The instances' configuration directory, where the unit looks for it whatever the prefix; the
# postinst gives it to the group rmq27-bridge once systemd-sysusers has made that.
install(DIRECTORY DESTINATION /etc/rmq27-bridge
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
find_program(RMQ27_SYSTEMD_ANALYZE systemd-analyze)
if(RMQ27_SYSTEMD_ANALYZE AND RMQ27_HAVE_OPENPTY AND NOT RMQ27_FUZZ)
    # An instance of the unit as built: the program in the build tree, the page where man
    # finds it.
    set(RMQ27_BRIDGE_PROGRAM ${CMAKE_BINARY_DIR}/rmq27-bridge)
    configure_file(${RMQ27_PACKAGING_DIR}/systemd/rmq27-bridge@.service.in
                   ${RMQ27_PACKAGING_OUT}/systemd-check/rmq27-bridge@hall.service @ONLY)
    configure_file(${RMQ27_PACKAGING_DIR}/man/rmq27-bridge.1.in
                   ${RMQ27_PACKAGING_OUT}/manpath/man1/rmq27-bridge.1 @ONLY)
    add_test(NAME systemd_unit_rmq27-bridge
             COMMAND ${RMQ27_SYSTEMD_ANALYZE} verify
                     ${RMQ27_PACKAGING_OUT}/systemd-check/rmq27-bridge@hall.service)
    set_tests_properties(systemd_unit_rmq27-bridge PROPERTIES
        ENVIRONMENT "MANPATH=${RMQ27_PACKAGING_OUT}/manpath" TIMEOUT 60
        FAIL_REGULAR_EXPRESSION ".")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${RMQ27_PACKAGING_DIR}/systemd/postinst)

# The package's own documents: its copyright and its changelog.
set(RMQ27_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/rmq27-panel)
configure_file(${RMQ27_PACKAGING_DIR}/changelog.in ${RMQ27_PACKAGING_OUT}/changelog @ONLY)
rmq27_gzip(${RMQ27_PACKAGING_OUT}/changelog ${RMQ27_PACKAGING_OUT}/changelog.gz)
install(FILES ${RMQ27_PACKAGING_DIR}/copyright ${RMQ27_PACKAGING_OUT}/changelog.gz
        DESTINATION ${RMQ27_DOC_DIR})
add_custom_target(rmq27-packaging-files ALL DEPENDS ${RMQ27_ICON_STAMP} ${RMQ27_GZIPPED})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rmq27-panel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${RMQ27_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for the VEXO RM-Q27 projector over RS-232C")
# Lines of at most 80 columns, as the Description field wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "One window laid out like a large remote control for the VEXO RM-Q27 data and"
    "video projector, driven over its RS-232C serial line (19200 or 9600 baud, 8N1)."
    "Each button sends one fixed command; press-and-hold buttons repeat theirs while"
    "held. Three display lines show the command as sent, the reply as received with"
    "control characters made visible, and a plain-language reading of status"
    "replies: power, input, lamp hours, temperatures and air pressure."
    ""
    "Also included are rmq27-ctl, the panel's commands and readings from a shell"
    "for scripts and monitoring, rmq27-bridge, a daemon that holds the serial line"
    "and answers PJLink Class 1 on the network (a systemd template unit, installed"
    "and not enabled), and rmq27-projector-sim, a simulated projector on a"
    "pseudo-terminal for trying the panel without hardware, optionally misbehaving"
    "the way real lines do.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${RMQ27_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The captions include Japanese text and are laid out for a Gothic face of fixed pitch; the
# panel maps its faces to IPAGothic, else to Noto CJK.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
