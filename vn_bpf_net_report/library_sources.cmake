# The reader's library: everything but the program's driver. Included by
# the build and by the fuzzing build, so both compile the same files.
set(REPORT_LIBRARY_SOURCES)
foreach(name trace_rows names journey line_intake line_reader path_order placement steps endings grouping
             filters stages totals host_join report_text report_json report_html)
  list(APPEND REPORT_LIBRARY_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
endforeach()
