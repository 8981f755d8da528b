// One line of a trace taken apart, and a row made of it to keep: its texts
// as name ids. Touches no grouping state, so it runs on the cutting thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "journey.h"
#include "names.h"
#include "trace_rows.h"

// What one line of an input was.
enum class line_kind {
    row,        // a row
    header,     // a trace header: the rows after it have its protocol
    blank,
    loss,       // the monitor's word that it lost samples ("# lost N samples on CPU C between T1 and T2")
    unreadable, // *bad names the first column that could not be read
    no_header,  // the input's first line is no trace header: the input is no trace
};

// Takes line number line_no apart (1 for the first, no line feed; a
// trailing CR is dropped): `protocol` is that of the input's last header,
// and a header line gives its own in *header.
// A loss line gives its window in *loss; any other line starting with "#"
// is a note, read as blank.
line_kind parse_line(std::string_view line, uint64_t line_no, uint32_t protocol, uint32_t *header, parsed_row &row,
                     const char **bad, loss_window *loss);

// The name caches of the text columns of rows.
struct row_names {
    name_cache functions, devices, smacs, dmacs, other_infos; // by TRACE_INFO, INTERFACE, SMAC, DMAC, OTHER_INFO
    name_cache addresses; // IPv6's, by their 16 bytes
};
// A row taken apart made a row to keep (the name table may be added to from two threads).
trace_row row_of(name_table &names, row_names &caches, const parsed_row &parsed, uint64_t line_no);
