// The text report: aligned columns, the path last because its length varies.
#include <charconv>
#include <cstdio>

#include "report_output.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

// Start, protocol, flow, rows, total time and ending are padded to these.
constexpr size_t START_WIDTH = 20, PROTOCOL_WIDTH = 5, FLOW_WIDTH = 58, ROWS_WIDTH = 5,
                 TOTAL_WIDTH = 10, ENDING_WIDTH = 45;

void pad_left(std::string &out, std::string_view text, size_t width)
{
    out.append(text.size() < width ? width - text.size() : 0, ' ');
    out.append(text);
}

void pad_right(std::string &out, std::string_view text, size_t width)
{
    out.append(text);
    out.append(text.size() < width ? width - text.size() : 0, ' ');
}

} // namespace

std::string micros_text(int64_t ns)
{
    char text[32];
    auto end = std::to_chars(text, text + sizeof(text), double(ns) / 1000.0, std::chars_format::fixed, 1).ptr;
    return std::string(text, end);
}

void count_journey(report_totals &totals, const report_state &state, const journey &j)
{
    totals.journeys++;
    totals.rows += j.rows.size();
    totals.endings[ending_of(state, j)]++;
    add_stages(totals.stages, j);
}

void append_text_header(std::string &out)
{
    pad_right(out, "START_NS", START_WIDTH + 1);
    pad_right(out, "PROTO", PROTOCOL_WIDTH + 1);
    pad_right(out, "FLOW", FLOW_WIDTH);
    pad_left(out, "ROWS", ROWS_WIDTH + 1);
    pad_left(out, "TOTAL_US", TOTAL_WIDTH + 1);
    out += "  ";
    pad_right(out, "ENDING", ENDING_WIDTH + 1);
    out += "PATH\n";
}

void append_text_line(std::string &out, report_state &state, const journey &j)
{
    uint32_t protocol = state.sources[j.source].protocol;
    char number[24];
    pad_right(out, std::string_view(number, size_t(std::to_chars(number, number + 24, j.start()).ptr - number)),
              START_WIDTH);
    out += ' ';
    pad_right(out, trace_layout::protocol_layout(protocol)->name, PROTOCOL_WIDTH);
    out += ' ';
    pad_right(out, flow_text(protocol, j.rows.front()), FLOW_WIDTH);
    out += ' ';
    pad_left(out, std::to_string(j.rows.size()), ROWS_WIDTH);
    out += ' ';
    pad_left(out, micros_text(j.duration_ns()), TOTAL_WIDTH);
    out += "  ";
    pad_right(out, ending_of(state, j), ENDING_WIDTH);
    for (uint32_t step : j.steps) {
        out += ' ';
        out += shown_name(state, step);
    }
    out += '\n';
}

void append_detail(std::string &out, report_state &state, const journey &j)
{
    uint32_t protocol = state.sources[j.source].protocol;
    out += std::to_string(j.start()) + " " + trace_layout::protocol_layout(protocol)->name + " " +
           flow_text(protocol, j.rows.front()) + ": " + std::to_string(j.rows.size()) + " rows, " +
           micros_text(j.duration_ns()) + " us, " + ending_of(state, j) + "\n";
    size_t step_width = 4;
    for (uint32_t step : j.steps)
        step_width = std::max(step_width, shown_name(state, step).size());
    pad_left(out, "+US", TOTAL_WIDTH);
    pad_left(out, "AT_US", TOTAL_WIDTH + 1);
    out += "  ";
    pad_right(out, "CPU", PROTOCOL_WIDTH + 1);
    pad_right(out, "STEP", step_width + 1);
    pad_right(out, "DEVICE", 17);
    out += "INFO\n";
    for (size_t i = 0; i < j.rows.size(); i++) {
        const trace_row &row = j.rows[i];
        pad_left(out, micros_text(i ? elapsed_ns(j.rows[i - 1].time, row.time) : 0), TOTAL_WIDTH);
        pad_left(out, micros_text(elapsed_ns(j.start(), row.time)), TOTAL_WIDTH + 1);
        out += "  ";
        pad_right(out, std::to_string(row.cpu), PROTOCOL_WIDTH + 1);
        pad_right(out, shown_name(state, j.steps[i]), step_width + 1);
        std::string_view info = state.names.text(row.other_info);
        if (info.empty()) {
            out += shown_name(state, row.device);
        } else {
            pad_right(out, shown_name(state, row.device), 17);
            out += shown_text(info, true);
        }
        out += '\n';
    }
    out += '\n';
}

void append_summary(std::string &out, report_state &state, report_totals &totals)
{
    out += "\njourneys: " + std::to_string(totals.journeys) + " (" + std::to_string(totals.rows) + " rows)\n";
    out += "frames with repeated fields: " + std::to_string(totals.repeated_frames) + "\n";
    out += "unreadable rows: " + std::to_string(state.unreadable_rows) + "\n";

    out += "\n";
    pad_right(out, "ENDING", ENDING_WIDTH + 2);
    pad_left(out, "JOURNEYS", 10);
    out += '\n';
    for (const auto &[ending, count] : count_endings(totals.endings)) {
        pad_right(out, ending, ENDING_WIDTH + 2);
        pad_left(out, std::to_string(count), 10);
        out += '\n';
    }

    std::vector<stage_summary> stages = summarize_stages(state, totals.stages);
    std::vector<std::string> names;
    size_t stage_width = 5;
    for (const stage_summary &s : stages) {
        names.push_back(shown_name(state, s.from) + " -> " + shown_name(state, s.to));
        stage_width = std::max(stage_width, names.back().size());
    }
    out += "\n";
    pad_right(out, "STAGE", stage_width + 2);
    for (const char *label : {"COUNT", "P50_US", "P90_US", "P99_US", "MAX_US"})
        pad_left(out, label, 10);
    out += '\n';
    for (size_t i = 0; i < stages.size(); i++) {
        const stage_summary &s = stages[i];
        pad_right(out, names[i], stage_width + 2);
        pad_left(out, std::to_string(s.count), 10);
        for (int64_t ns : {s.p50, s.p90, s.p99, s.max})
            pad_left(out, micros_text(ns), 10);
        out += '\n';
    }
}
