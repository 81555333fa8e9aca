# ostrel_headers(target): makes the library's own headers, and only those, visible to whoever
# links it. Its include path holds a single link, named after the library's folder, to that
# folder: the headers are included as "<folder>/Header.h", and a header of a library that is not
# linked is not found, so every dependency is declared where it is used.
function(ostrel_headers target)
    file(RELATIVE_PATH folder "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
    set(root "${CMAKE_BINARY_DIR}/include/${folder}")
    if(NOT EXISTS "${root}/${folder}")
        # A folder inside another (server/room) links from the same depth below the root.
        get_filename_component(parent "${root}/${folder}" DIRECTORY)
        file(MAKE_DIRECTORY "${parent}")
        file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${folder}" SYMBOLIC)
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE "${root}")
    else()
        target_include_directories(${target} PUBLIC "${root}")
    endif()
endfunction()
