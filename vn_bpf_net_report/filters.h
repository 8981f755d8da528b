// Which journeys the report keeps: --flow, --dropped, --slower-than, --start.
#pragma once

#include <cstdint>
#include <string>

#include "report_state.h"
#include "trace_rows.h"

struct journey_filter {
    bool by_host = false, by_port = false, dropped_only = false;
    ip_address host;
    uint16_t port = 0;
    int64_t slower_than_ns = -1;
    bool by_start = false;
    int64_t start_ns = 0; // --start: the journey that starts then
};
bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter);
// With --start held against `start` too: the journey's start as the text
// shows it (in the first host's clock where hosts are joined).
bool journey_matches(const report_state &state, const journey &j, const journey_filter &filter, int64_t start);
// Frames with repeated fields are kept by --flow, never by the journey filters.
bool frames_match(const report_state &state, const journey &frames, const journey_filter &filter);

// The options' texts read into the filter; std::invalid_argument says why
// a text is refused.
// --flow: HOST, HOST:PORT or :PORT.
void parse_flow(const std::string &text, journey_filter &filter);
// --slower-than: microseconds in decimal.
void parse_slower_than(const std::string &text, journey_filter &filter);
