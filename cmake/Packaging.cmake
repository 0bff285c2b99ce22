# Install rules, man pages and the Debian packages.
#
# Two components: "updater" (talvane-updater with its desktop entry, icon and
# man page) and "tools" (talvane-get, talvane-pack, talvane-cdn,
# talvane-analytics and their man pages). Each becomes one package with `cpack -G DEB`; scripts/package.sh
# builds, checks and tries them. Tests, benchmarks and fuzz targets have no
# install rule and stay in the build tree.
include(GNUInstallDirs)

set(_talvane_components updater tools)
set(_talvane_programs_updater talvane-updater)
set(_talvane_programs_tools talvane-get talvane-pack talvane-cdn talvane-analytics)
set(_talvane_package_updater talvane-updater)
set(_talvane_package_tools talvane-tools)

foreach(component IN LISTS _talvane_components)
    install(TARGETS ${_talvane_programs_${component}}
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
endforeach()

install(FILES "${CMAKE_SOURCE_DIR}/packaging/talvane-updater.desktop"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT updater)
install(FILES "${CMAKE_SOURCE_DIR}/resources/dialog/updater-icon.svg"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME talvane-updater.svg COMPONENT updater)

# Man pages are written by help2man from each program's own --help and
# --version, so that they say what the program says; packaging/man/ adds only
# the prose --help has no room for. Sanitizer trees are never installed, and
# running their programs at build time would only slow the build.
find_program(TALVANE_HELP2MAN help2man)
if(TALVANE_HELP2MAN AND NOT TALVANE_SANITIZE)
    set(_man_dir "${CMAKE_BINARY_DIR}/man")
    file(MAKE_DIRECTORY "${_man_dir}")
    set(_man_pages "")
    foreach(component IN LISTS _talvane_components)
        foreach(program IN LISTS _talvane_programs_${component})
            set(include "${CMAKE_SOURCE_DIR}/packaging/man/${program}.h2m")
            set(page "${_man_dir}/${program}.1")
            # No display and a fixed locale: the page must not depend on the
            # session of whoever builds it.
            add_custom_command(
                OUTPUT "${page}.gz"
                COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY LC_ALL=C.UTF-8
                        "${TALVANE_HELP2MAN}" --no-info "--include=${include}" "--output=${page}"
                        "$<TARGET_FILE:${program}>"
                COMMAND gzip -9nf "${page}"
                DEPENDS ${program} "${include}"
                COMMENT "Writing the man page of ${program}"
                VERBATIM)
            list(APPEND _man_pages "${page}.gz")
            install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
        endforeach()
    endforeach()
    add_custom_target(talvane_man_pages ALL DEPENDS ${_man_pages})
else()
    message(STATUS "help2man not found (scripts/setup.sh installs it) or sanitizer build: no man pages")
endif()

# Debian packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvane)
set(CPACK_PACKAGE_VENDOR "Brennic Technologies")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Brennic Technologies <support@talvane.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_talvane_components})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME ${_talvane_package_updater})
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION "desktop updater that fetches and starts a product's downloader
talvane-updater shows one small dialog, offers a choice of language,
downloads the product's downloader program and skin package through the
Talvane Delivery transfer engine in checked chunks from the fastest nodes,
launches the downloader and stays open until it ends. The deployment it
serves is compiled into it.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${_talvane_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tools of the Talvane Delivery transfer engine
The programs behind the Talvane Delivery updater, for scripts and people:
 * talvane-get downloads a package in checked chunks over HTTP byte ranges
   from the fastest nodes, and continues stored transfers;
 * talvane-pack writes a folder into a content root as a package, signed
   with a publisher's key if wanted;
 * talvane-cdn serves a content root on loopback for demonstrations and
   tests;
 * talvane-analytics receives the engine's analytics posts into SQLite or
   PostgreSQL and reports on them as a self-contained HTML page.")

# What Debian wants beside every package: the copyright and a changelog, dated
# by SOURCE_DATE_EPOCH when it is set so that a package built twice from one
# commit comes out the same; and the lintian tags that do not apply to a
# package outside Debian's archive.
set(TALVANE_DEB_SOURCE talvane)
set(TALVANE_DEB_VERSION "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
string(TIMESTAMP TALVANE_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP TALVANE_COPYRIGHT_YEAR "%Y" UTC)
set(_copyright "${CMAKE_BINARY_DIR}/packaging/copyright")
configure_file("${CMAKE_SOURCE_DIR}/packaging/copyright.in" "${_copyright}" @ONLY)
set(_changelog "${CMAKE_BINARY_DIR}/packaging/changelog.Debian")
configure_file("${CMAKE_SOURCE_DIR}/packaging/changelog.Debian.in" "${_changelog}" @ONLY)
execute_process(COMMAND gzip -9nkf "${_changelog}" RESULT_VARIABLE _gzip_result)
if(NOT _gzip_result EQUAL 0)
    message(FATAL_ERROR "cannot compress ${_changelog}")
endif()
foreach(component IN LISTS _talvane_components)
    set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${_talvane_package_${component}})
    install(FILES "${_copyright}" DESTINATION ${doc_dir} COMPONENT ${component})
    install(FILES "${_changelog}.gz" DESTINATION ${doc_dir} COMPONENT ${component})
    install(FILES "${CMAKE_SOURCE_DIR}/packaging/lintian-overrides"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME ${_talvane_package_${component}} COMPONENT ${component})
endforeach()

include(CPack)
