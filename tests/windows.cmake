# The Windows build's tests: the unit tests that need no POSIX call, the tests
# of the Win32 backend, and the small child programs that the system tests run
# under Wine. The system tests themselves are built natively and start
# httpd.exe through Wine.

# GoogleTest from the sources that Debian's googletest package installs, built
# with the cross compiler.
set(HTTPD_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${HTTPD_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own sources do not pass the project's warning set.
foreach(target gtest gtest_main)
    target_compile_options(${target} PRIVATE -w)
endforeach()

set(UNIT_TEST_SOURCES
    unit/startup/settings_path_test.cpp
    unit/logging/access_record_test.cpp
    unit/request/request_head_test.cpp
    unit/cgi/environment_list_test.cpp)
file(GLOB WIN32_UNIT_TEST_SOURCES CONFIGURE_DEPENDS unit/win32/*.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES} ${WIN32_UNIT_TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE httpd_core gtest_main)
set_source_files_properties(unit/cgi/environment_list_test.cpp PROPERTIES
    COMPILE_OPTIONS "-include;${CMAKE_CURRENT_SOURCE_DIR}/unit/win32/posix_environment.h")
add_test(NAME unit_tests COMMAND unit_tests)

file(GLOB WIN32_FIXTURE_SOURCES CONFIGURE_DEPENDS fixtures/win32/*.cpp)
foreach(source IN LISTS WIN32_FIXTURE_SOURCES)
    get_filename_component(name ${source} NAME_WE)
    add_executable(fixture_${name} ${source})
    set_target_properties(fixture_${name} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures
        OUTPUT_NAME ${name})
    add_dependencies(unit_tests fixture_${name})
endforeach()
target_compile_definitions(unit_tests PRIVATE FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
