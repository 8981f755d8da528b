// The text report: aligned columns, the path last because its length varies.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "report_output.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

// Start, protocol, flow, rows, total time and ending are padded to these.
constexpr size_t START_WIDTH = 20, PROTOCOL_WIDTH = 5, FLOW_WIDTH = 58, ROWS_WIDTH = 5,
                 TOTAL_WIDTH = 10, ENDING_WIDTH = 45;

// A journey line fitted to a terminal is at least this wide and at most
// this (wider ones read badly); the path gives way first, then the flow and
// the ending, each cut with CUT_MARK. ASCII, as the rest of the report.
constexpr size_t LINE_WIDTH_MIN = 80, LINE_WIDTH_MAX = 160, PATH_WIDTH_MIN = 4;
constexpr std::string_view CUT_MARK = "...";

// The width journey lines are fitted to when standard output is a
// terminal: $COLUMNS when it is a number, else the terminal's own (80 when
// it does not say). 0, lines whole, into a file or a pipe: grep and awk
// want every step, whatever width the shell exported.
size_t line_width()
{
    static const size_t width = [] {
        if (!isatty(1))
            return size_t(0);
        size_t columns = 0;
        const char *env = getenv("COLUMNS");
        std::string_view text = env ? env : "";
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), columns);
        if (ec != std::errc() || end != text.data() + text.size())
            columns = 0;
        winsize size{};
        if (columns == 0 && ioctl(1, TIOCGWINSZ, &size) == 0)
            columns = size.ws_col;
        return std::clamp(columns, LINE_WIDTH_MIN, LINE_WIDTH_MAX);
    }();
    return width;
}

// The flow's and the ending's columns in a line of `width` (0: whole lines):
// both shrink in proportion only when the path would have no room left.
struct line_columns {
    size_t flow = FLOW_WIDTH, ending = ENDING_WIDTH;
};
line_columns columns_for(size_t width)
{
    line_columns c;
    // Start, protocol, rows, total time and the blanks between all columns.
    size_t fixed = START_WIDTH + PROTOCOL_WIDTH + ROWS_WIDTH + TOTAL_WIDTH + 7;
    if (width == 0 || width >= fixed + c.flow + c.ending + PATH_WIDTH_MIN)
        return c;
    size_t room = width - fixed - PATH_WIDTH_MIN;
    c.flow = room * FLOW_WIDTH / (FLOW_WIDTH + ENDING_WIDTH);
    c.ending = room - c.flow;
    return c;
}

// Cuts what text holds from `from` on to `width` columns, its end replaced
// by CUT_MARK. Shown texts are printable ASCII, and a backslash in them
// starts a four-column \xNN, which is never cut in two.
void cut_to(std::string &text, size_t width, size_t from = 0)
{
    if (text.size() - from <= width)
        return;
    size_t keep = from + (width > CUT_MARK.size() ? width - CUT_MARK.size() : 0);
    size_t escape = text.rfind('\\', keep);
    if (escape != std::string::npos && escape >= from && escape < keep && escape + 4 > keep)
        keep = escape;
    text.resize(keep);
    text += CUT_MARK.substr(0, from + width - keep);
}

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
    // Most journeys end undropped in the function the one before ended in.
    uint32_t function = j.rows.back().function;
    bool plain = j.ending_known && !j.dropped && j.ending_note.empty();
    uint64_t *count = plain && totals.last_ended_at && function == totals.last_ended_at_function
                          ? totals.last_ended_at
                          : &totals.endings[ending_of(state, j)];
    ++*count;
    if (plain)
        totals.last_ended_at = count, totals.last_ended_at_function = function;
    add_stages(totals.stages, j);
}

void append_text_header(std::string &out)
{
    pad_right(out, "START_NS", START_WIDTH + 1);
    pad_right(out, "PROTO", PROTOCOL_WIDTH + 1);
    line_columns columns = columns_for(line_width());
    pad_right(out, "FLOW", columns.flow);
    pad_left(out, "ROWS", ROWS_WIDTH + 1);
    pad_left(out, "TOTAL_US", TOTAL_WIDTH + 1);
    out += "  ";
    pad_right(out, "ENDING", columns.ending + 1);
    out += "PATH\n";
}

// Fitted to a terminal (line_width), the flow, the ending and the path are
// cut to their columns, and the whole line (a start or a total longer than
// its column) to the width; --json keeps them whole.
void append_text_line(std::string &out, report_state &state, const journey &j)
{
    size_t width = line_width(), begin = out.size();
    line_columns columns = columns_for(width);
    uint32_t protocol = state.sources[j.source].protocol;
    char number[24];
    pad_right(out, std::string_view(number, size_t(std::to_chars(number, number + 24, j.start()).ptr - number)),
              START_WIDTH);
    out += ' ';
    pad_right(out, trace_layout::protocol_layout(protocol)->name, PROTOCOL_WIDTH);
    out += ' ';
    std::string flow = flow_text(protocol, j.rows.front()), ending = ending_of(state, j);
    if (width)
        cut_to(flow, columns.flow), cut_to(ending, columns.ending);
    pad_right(out, flow, columns.flow);
    out += ' ';
    pad_left(out, std::to_string(j.rows.size()), ROWS_WIDTH);
    out += ' ';
    pad_left(out, micros_text(j.duration_ns()), TOTAL_WIDTH);
    out += "  ";
    pad_right(out, ending, columns.ending);
    for (uint32_t step : j.steps) {
        if (width && out.size() - begin > width)
            break; // the rest is cut anyway
        out += ' ';
        out += shown_name(state, step);
    }
    if (width)
        cut_to(out, width, begin);
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
