# Builds the embedded translation catalogs:
#
#   talvane_add_message_catalogs(<target> SUPPORT_HOST <host> CATALOGS <id> <po file> ...)
#
# Each .po file gets the deployment's support host in place of @SUPPORT_HOST@
# (the host is part of several message ids, so catalogs and messages always
# name the same one), is compiled by msgfmt and embedded as a byte array in a
# static library <target> that defines FindEmbeddedMessageCatalog.
find_program(TALVANE_MSGFMT msgfmt REQUIRED)

set(_talvane_embed_script "${CMAKE_CURRENT_LIST_DIR}/EmbedMessageCatalogs.cmake")

function(talvane_add_message_catalogs target)
    cmake_parse_arguments(ARG "" "SUPPORT_HOST" "CATALOGS" ${ARGN})
    list(LENGTH ARG_CATALOGS count)
    math(EXPR odd "${count} % 2")
    if(count EQUAL 0 OR odd)
        message(FATAL_ERROR "talvane_add_message_catalogs: CATALOGS takes pairs of id and .po file")
    endif()
    # A PO string literal escapes backslashes and double quotes.
    string(REPLACE "\\" "\\\\" host "${ARG_SUPPORT_HOST}")
    string(REPLACE "\"" "\\\"" host "${host}")

    set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}")
    set(embedded "")
    set(mo_files "")
    math(EXPR last "${count} - 1")
    foreach(index RANGE 0 ${last} 2)
        math(EXPR next "${index} + 1")
        list(GET ARG_CATALOGS ${index} id)
        list(GET ARG_CATALOGS ${next} po)
        if(NOT id MATCHES "^[0-9]+$")
            message(FATAL_ERROR "talvane_add_message_catalogs: ${id} is not a resource id")
        endif()
        get_filename_component(po "${po}" ABSOLUTE)
        get_filename_component(name "${po}" NAME_WE)

        # Filled at configure time; rewritten through a copy so that an
        # unchanged catalog is not compiled again.
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${po}")
        file(READ "${po}" text)
        string(REPLACE "@SUPPORT_HOST@" "${host}" text "${text}")
        file(WRITE "${dir}/${name}.po.in" "${text}")
        configure_file("${dir}/${name}.po.in" "${dir}/${name}.po" COPYONLY)

        add_custom_command(
            OUTPUT "${dir}/${id}-${name}.mo"
            COMMAND ${TALVANE_MSGFMT} --check --endianness=little -o "${dir}/${id}-${name}.mo" "${dir}/${name}.po"
            DEPENDS "${dir}/${name}.po"
            COMMENT "Compiling translation ${name} (${id})"
            VERBATIM)
        list(APPEND mo_files "${dir}/${id}-${name}.mo")
        list(APPEND embedded "${id}=${dir}/${id}-${name}.mo")
    endforeach()

    string(REPLACE ";" "|" embedded "${embedded}")
    add_custom_command(
        OUTPUT "${dir}/EmbeddedMessageCatalogs.cpp"
        COMMAND ${CMAKE_COMMAND} "-DCATALOGS=${embedded}" "-DOUTPUT=${dir}/EmbeddedMessageCatalogs.cpp"
                -P "${_talvane_embed_script}"
        DEPENDS ${mo_files} "${_talvane_embed_script}"
        COMMENT "Embedding the translation catalogs"
        VERBATIM)
    add_library(${target} STATIC "${dir}/EmbeddedMessageCatalogs.cpp")
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()
