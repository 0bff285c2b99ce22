# The report's suites: figures, page and JSON from a SQLite database the test
# fills itself, and the page as headless Chromium draws it.
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
add_library(talvane_analytics_report_test_support STATIC ReportTestDatabase.cpp)
target_include_directories(talvane_analytics_report_test_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(talvane_analytics_report_test_support PUBLIC PkgConfig::SQLITE3)
target_compile_definitions(talvane_analytics_report_test_support PRIVATE
    TALVANE_ANALYTICS_SCHEMA_PATH="${CMAKE_SOURCE_DIR}/tools/talvane-analytics/schema.sql")

talvane_add_test(talvane_analytics_report_tests
    ReportFiguresTest.cpp
    ReportPageTest.cpp
    LIBS talvane_analytics_report talvane_analytics_report_test_support talvane_app EXPAT::EXPAT PkgConfig::SQLITE3)

talvane_add_test(talvane_analytics_report_screenshot_tests
    ReportScreenshotTest.cpp
    LIBS talvane_analytics_report talvane_analytics_report_test_support PkgConfig::GTK3)

# The same figures from PostgreSQL, on a server the test starts.
talvane_add_test(talvane_analytics_report_postgres_tests
    ReportPostgresTest.cpp
    LIBS talvane_analytics_report talvane_analytics_report_test_support talvane_analytics_test_support
         PkgConfig::SQLITE3)
target_compile_definitions(talvane_analytics_report_postgres_tests PRIVATE
    TALVANE_ANALYTICS_SCHEMA_PATH="${CMAKE_SOURCE_DIR}/tools/talvane-analytics/schema.sql")
