# The report: reads the collector's database (SQLite or PostgreSQL) and writes
# the page or the JSON. Included by this folder's CMakeLists.txt.
add_library(talvane_analytics_report STATIC
    Report.cpp ReportDatabase.cpp ReportFigures.cpp ReportHtml.cpp ReportJson.cpp ReportSvg.cpp)
target_include_directories(talvane_analytics_report PUBLIC ${CMAKE_SOURCE_DIR})
# The user messages come from the updater's library, the JSON text form from
# the engine's (through it).
target_link_libraries(talvane_analytics_report
    PRIVATE talvane_app talvane_command_line PkgConfig::SQLITE3 PkgConfig::LIBPQ Boost::boost)
