# GoogleTest, built from the Debian sources for every configuration (host, sanitizers, MinGW),
# so that it is compiled with the same compiler and flags as the code under test.
set(OSTREL_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")

function(ostrel_use_googletest)
    if(TARGET gtest)
        return()
    endif()
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    # GoogleTest's own warnings are not ours to fix.
    set(CMAKE_COMPILE_WARNING_AS_ERROR OFF)
    add_subdirectory("${OSTREL_GTEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endfunction()

# ostrel_add_test(NAME SOURCES ... LIBRARIES ... [GUI] [TIMEOUT seconds])
# One test binary per class under test. Each runs in a working directory of its own under the
# build tree, since some of them create files such as data.dat there.
function(ostrel_add_test name)
    cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    ostrel_use_googletest()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBRARIES} gtest gtest_main)
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
    set(workdir "${CMAKE_BINARY_DIR}/testrun/${name}")
    file(MAKE_DIRECTORY "${workdir}")
    # Window tests share one display and the system-wide hot keys, so they run one at a time.
    set(label core)
    set(serial FALSE)
    if(T_GUI)
        set(label gui)
        set(serial TRUE)
    endif()
    include(GoogleTest)
    gtest_discover_tests(${name}
        WORKING_DIRECTORY "${workdir}"
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${label} RUN_SERIAL ${serial})
endfunction()
