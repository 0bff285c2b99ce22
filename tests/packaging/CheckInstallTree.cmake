# Installs BUILD_DIR into PREFIX and checks the tree file by file.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DMAN_PAGES=ON|OFF -DVERSION=x.y.z -P CheckInstallTree.cmake
set(programs talvane-updater talvane-get talvane-pack talvane-cdn talvane-analytics)

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${error}")
endif()

set(expected
    share/applications/talvane-updater.desktop
    share/icons/hicolor/scalable/apps/talvane-updater.svg
    share/doc/talvane-updater/copyright
    share/doc/talvane-updater/changelog.Debian.gz
    share/doc/talvane-tools/copyright
    share/doc/talvane-tools/changelog.Debian.gz
    share/lintian/overrides/talvane-updater
    share/lintian/overrides/talvane-tools)
foreach(program IN LISTS programs)
    list(APPEND expected bin/${program})
    if(MAN_PAGES)
        list(APPEND expected share/man/man1/${program}.1.gz)
    endif()
endforeach()
list(SORT expected)

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
    set(extra ${installed})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    list(REMOVE_ITEM missing ${installed})
    message(FATAL_ERROR "install tree differs\n  missing: ${missing}\n  unexpected: ${extra}")
endif()

foreach(program IN LISTS programs)
    execute_process(COMMAND test -x "${PREFIX}/bin/${program}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "bin/${program} is not executable")
    endif()
    if(MAN_PAGES)
        # The page must come from the program's own --help and --version (its
        # title, its version, the options it lists) and carry the prose of
        # packaging/man/ (SEE ALSO).
        execute_process(COMMAND gzip -dc "${PREFIX}/share/man/man1/${program}.1.gz"
                        RESULT_VARIABLE result OUTPUT_VARIABLE page)
        string(TOUPPER "${program}" title)
        foreach(needle ".TH ${title} \"1\"" "${program} ${VERSION}" "\\fB\\-\\-help\\fR" ".SH \"SEE ALSO\"")
            string(FIND "${page}" "${needle}" at)
            if(NOT result EQUAL 0 OR at EQUAL -1)
                message(FATAL_ERROR "man page of ${program} lacks \"${needle}\"")
            endif()
        endforeach()
    endif()
endforeach()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
    execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${PREFIX}/share/applications/talvane-updater.desktop"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "desktop entry: ${output}")
    endif()
endif()

file(REMOVE_RECURSE "${PREFIX}")
