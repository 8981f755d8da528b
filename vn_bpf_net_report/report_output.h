// What the reader writes: a text line per journey and a summary, JSON
// Lines, and one HTML page. Writers append to a string the caller flushes.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "journeys.h"

// Everything the summary and the page show, gathered from the journeys kept.
struct report_totals {
    uint64_t journeys = 0, rows = 0;
    uint64_t repeated_frames = 0; // rows of frames with repeated fields the filters keep
    std::unordered_map<std::string, uint64_t> endings;
    // The count of the "ended at" counted last (map values stay put), and its function.
    uint64_t *last_ended_at = nullptr;
    uint32_t last_ended_at_function = 0;
    stage_stats stages;

    report_totals() = default;
    report_totals(const report_totals &) = delete; // a copy would count into the original's map
    report_totals &operator=(const report_totals &) = delete;
};
void count_journey(report_totals &totals, const report_state &state, const journey &j);

void append_text_header(std::string &out);
// Every text of the trace in the text report is written by shown_text().
void append_text_line(std::string &out, report_state &state, const journey &j);
void append_summary(std::string &out, report_state &state, report_totals &totals);
// --detail: a journey hop by hop, each row's step, CPU, device and the time
// since the hop before, so where the microseconds went shows.
void append_detail(std::string &out, report_state &state, const journey &j);

// One line: a journey, or (repeated_fields true) frames with repeated fields.
void append_json_line(std::string &out, report_state &state, const journey &j, bool repeated_fields);
// The stream's end: a line per stage, in path order, then the summary.
void append_json_summary(std::string &out, report_state &state, report_totals &totals);

struct joined_journey;
struct host_join;

// The page, from the journeys kept (in start order) and their totals, and
// journeys joined across hosts. Every text of the trace on it is written by
// shown_text(), then HTML-escaped.
std::string html_page(report_state &state, const std::vector<const journey *> &journeys,
                      report_totals &totals, const std::vector<const joined_journey *> &joined = {},
                      const host_join *join = nullptr);

// Microseconds with one decimal, from nanoseconds.
std::string micros_text(int64_t ns);
