// The report's outputs: the text report, the detail report, JSON Lines and
// the page. The driver tells a writer, in order: the header (with the
// clocks of joined hosts), each journey kept in start order (frames with
// repeated fields, packets joined across hosts among them), then the
// summary. A writer renders the reader's values its own way, appends to
// the text it was made with (the driver writes it out) and keeps its own
// caches.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host_join.h"
#include "report_state.h"
#include "totals.h"

struct report_writer {
    virtual ~report_writer() = default;
    // Before the first journey; join is null unless hosts are joined.
    virtual void header(const host_join *join) = 0;
    virtual void journey(const ::journey &j) = 0;
    virtual void frames(const ::journey &frames) = 0;
    virtual void joined(const joined_journey &jj) = 0;
    // Before the driver writes out what was appended, at any point: lines a
    // writer holds back (the text report on a terminal, to size its
    // columns from its first journeys) are appended now.
    virtual void flush() {}
    virtual void summary(const report_totals &totals) = 0;
};

// `hosts` names the hosts of joined traces (empty for one host): endings
// and steps name them.
std::unique_ptr<report_writer> text_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts);
// --detail: a journey hop by hop, each row's step, CPU, device and the time
// since the hop before, so where the microseconds went shows.
std::unique_ptr<report_writer> detail_writer(std::string &out, report_state &state,
                                             const std::vector<std::string> &hosts);
std::unique_ptr<report_writer> json_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts);
// The page: it keeps the journeys it is given and is made whole by summary.
std::unique_ptr<report_writer> page_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts);

// Microseconds with one decimal, from nanoseconds.
std::string micros_text(int64_t ns);
