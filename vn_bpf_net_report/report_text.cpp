// The text report (aligned columns, the path last because its length
// varies) and the detail report (a journey hop by hop).
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "endings.h"
#include "report_writer.h"
#include "stages.h"
#include "steps.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

// Start, protocol, flow, rows, total time and ending are padded to these.
constexpr size_t START_WIDTH = 20, PROTOCOL_WIDTH = 5, FLOW_WIDTH = 58, ROWS_WIDTH = 5,
                 TOTAL_WIDTH = 10, CLASS_WIDTH = 9, ENDING_WIDTH = 45;

// A journey line fitted to a terminal is at least this wide and at most
// this (wider ones read badly); the path gives way first, then the flow and
// the ending, each cut with CUT_MARK. ASCII, as the rest of the report.
constexpr size_t LINE_WIDTH_MIN = 80, LINE_WIDTH_MAX = 200, PATH_WIDTH_MIN = 4;
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
    size_t fixed = START_WIDTH + PROTOCOL_WIDTH + ROWS_WIDTH + TOTAL_WIDTH + CLASS_WIDTH + 9;
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


// What the text and the detail reports share: texts as shown, the path,
// the endings, the clocks and the summary.
struct text_renderer {
    std::string &out;
    report_state &state;
    const std::vector<std::string> &hosts;
    rendered_names shown;                  // by name id
    std::vector<std::string> shown_steps;  // by step id
    std::vector<std::string> ended_at;     // by function id: "ended at F", once made
    std::string scratch;

    const std::string &shown_name(uint32_t id)
    {
        return shown.get(state.names, id, [](std::string_view text) { return shown_text(text); });
    }
    const std::string &shown_step(uint32_t id)
    {
        while (shown_steps.size() <= id)
            shown_steps.push_back(shown_text(step_name(state, state.steps.get(uint32_t(shown_steps.size())))));
        return shown_steps[id];
    }
    // The i-th step of a path. A joined journey names the host at the first
    // step of each part, and the wire before the receiver's.
    const std::string &path_step(const journey &j, size_t i, const joined_journey *jj)
    {
        const step &s = state.steps.get(j.steps[i]);
        bool new_host = s.host != NO_HOST && (i == 0 || state.steps.get(j.steps[i - 1]).host != s.host);
        if (!new_host)
            return shown_step(j.steps[i]);
        scratch.clear();
        if (i > 0 && jj)
            scratch += "=(wire:" + micros_text(jj->wire_ns) + "us+-" + micros_text(jj->wire_error_ns) + "us)=>";
        scratch += shown_text(hosts[s.host]) + ":" + shown_step(j.steps[i]);
        return scratch;
    }
    std::string sentence(const ending &e)
    {
        if (e.kind != ending_kind::ended)
            return ending_sentence(state.names, hosts, e);
        if (ended_at.size() <= e.function)
            ended_at.resize(e.function + 1);
        if (ended_at[e.function].empty())
            ended_at[e.function] = ending_sentence(state.names, hosts, e);
        return ended_at[e.function];
    }

    void header() const;
    void line(const journey &j, const joined_journey *jj);
    void detail(const journey &j, const joined_journey *jj);
    void clocks(const host_join &join);
    void summary(const report_totals &totals);
};

void text_renderer::header() const
{
    pad_right(out, "START_NS", START_WIDTH + 1);
    pad_right(out, "PROTO", PROTOCOL_WIDTH + 1);
    line_columns columns = columns_for(line_width());
    pad_right(out, "FLOW", columns.flow);
    pad_left(out, "ROWS", ROWS_WIDTH + 1);
    pad_left(out, "TOTAL_US", TOTAL_WIDTH + 1);
    out += "  ";
    pad_right(out, "CLASS", CLASS_WIDTH + 2);
    pad_right(out, "ENDING", columns.ending + 1);
    out += "PATH\n";
}

// Fitted to a terminal (line_width), the flow, the ending and the path are
// cut to their columns, and the whole line (a start or a total longer than
// its column) to the width; --json keeps them whole.
void text_renderer::line(const journey &j, const joined_journey *jj)
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
    std::string flow = flow_text(protocol, j.rows.front()), ending = sentence(j.end);
    if (width)
        cut_to(flow, columns.flow), cut_to(ending, columns.ending);
    pad_right(out, flow, columns.flow);
    out += ' ';
    char rows[24];
    pad_left(out, std::string_view(rows, size_t(std::to_chars(rows, rows + 24, j.rows.size()).ptr - rows)),
             ROWS_WIDTH);
    out += ' ';
    pad_left(out, micros_text(j.duration_ns()), TOTAL_WIDTH);
    out += "  ";
    pad_right(out, j.end.known() ? class_label(j.end.what()) : "", CLASS_WIDTH);
    out += "  ";
    pad_right(out, ending, columns.ending);
    for (size_t i = 0; i < j.steps.size(); i++) {
        if (width && out.size() - begin > width)
            break; // the rest is cut anyway
        out += ' ';
        out += path_step(j, i, jj);
    }
    if (width)
        cut_to(out, width, begin);
    out += '\n';
}

void text_renderer::detail(const journey &j, const joined_journey *jj)
{
    uint32_t protocol = state.sources[j.source].protocol;
    if (jj)
        out += shown_text(hosts[jj->from]) + " -> " + shown_text(hosts[jj->to]) + ", wire " +
               micros_text(jj->wire_ns) + " us +- " + micros_text(jj->wire_error_ns) + " us; " +
               shown_text(hosts[jj->to]) + "'s times moved into " + shown_text(hosts[jj->from]) + "'s clock\n";
    out += std::to_string(j.start()) + " " + trace_layout::protocol_layout(protocol)->name + " " +
           flow_text(protocol, j.rows.front()) + ": " + std::to_string(j.rows.size()) + " rows, " +
           micros_text(j.duration_ns()) + " us, " + sentence(j.end) + "\n";
    size_t step_width = 4;
    for (size_t i = 0; i < j.steps.size(); i++)
        step_width = std::max(step_width, path_step(j, i, jj).size());
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
        pad_right(out, path_step(j, i, jj), step_width + 1);
        std::string_view info = state.names.text(row.other_info);
        if (info.empty()) {
            out += shown_name(row.device);
        } else {
            pad_right(out, shown_name(row.device), 17);
            out += shown_text(info, true);
        }
        out += '\n';
    }
    out += '\n';
}

void text_renderer::clocks(const host_join &join)
{
    for (const host_clock &c : join.clocks) {
        // "b = a - 5 ns", not "b = a + -5 ns"; the magnitude taken unsigned, as INT64_MIN has none.
        uint64_t size = c.offset_ns < 0 ? 0 - uint64_t(c.offset_ns) : uint64_t(c.offset_ns);
        out += "clock: " + shown_text(join.hosts[c.b]) + " = " + shown_text(join.hosts[c.a]) +
               (c.offset_ns < 0 ? " - " : " + ") + std::to_string(size) + " ns +- " + std::to_string(c.error_ns) +
               " ns (" + std::to_string(c.matched) + " packets seen on both)\n";
    }
}

void text_renderer::summary(const report_totals &totals)
{
    out += "\njourneys: " + std::to_string(totals.journeys) + " (" + std::to_string(totals.rows) + " rows)\n";
    out += "frames with repeated fields: " + std::to_string(totals.repeated_frames) + "\n";
    out += "unreadable rows: " + std::to_string(state.unreadable_rows) + "\n";
    out += "delivered: " + std::to_string(totals.by_class[size_t(ending_class::delivered)]) +
           ", dropped: " + std::to_string(totals.by_class[size_t(ending_class::dropped)]) +
           ", not seen to the end: " + std::to_string(totals.by_class[size_t(ending_class::not_seen)]) + "\n";

    out += "\n";
    pad_right(out, "CLASS", CLASS_WIDTH + 2);
    pad_right(out, "ENDING", ENDING_WIDTH + 2);
    pad_left(out, "JOURNEYS", 10);
    out += '\n';
    for (const ending_count &e : endings_by_count(state, hosts, totals)) {
        pad_right(out, e.told.known() ? class_label(e.told.what()) : "", CLASS_WIDTH + 2);
        pad_right(out, e.sentence, ENDING_WIDTH + 2);
        pad_left(out, std::to_string(e.count), 10);
        out += '\n';
    }

    std::vector<stage_summary> stages = summarize_stages(state, totals.stages);
    std::vector<std::string> names;
    size_t stage_width = 5;
    for (const stage_summary &s : stages) {
        names.push_back(shown_step(s.from) + " -> " + shown_step(s.to));
        stage_width = std::max(stage_width, names.back().size());
    }
    out += "\n";
    pad_right(out, "STAGE", stage_width + 2);
    for (const char *label : {"COUNT", "P50_US", "P90_US", "P99_US", "MAX_US"})
        pad_left(out, label, 10);
    out += '\n';
    // The stage a user looks for first: the slowest, and the one that took most time in all.
    size_t most = stages.size();
    for (size_t i = 0; i < stages.size(); i++) {
        const stage_summary &s = stages[i];
        pad_right(out, names[i], stage_width + 2);
        pad_left(out, std::to_string(s.count), 10);
        pad_left(out, micros_text(s.p50), 10);
        pad_left(out, s.count >= P90_COUNT_MIN ? micros_text(s.p90) : "-", 10);
        pad_left(out, s.count >= P99_COUNT_MIN ? micros_text(s.p99) : "-", 10);
        pad_left(out, micros_text(s.max), 10);
        out += '\n';
        if (most == stages.size() || s.total > stages[most].total)
            most = i;
    }
    if (stages.empty())
        return;
    size_t slowest = slowest_first(stages).front();
    const stage_summary &slow = stages[slowest], &long_ = stages[most];
    bool p90_told = slow.count >= P90_COUNT_MIN;
    out += "\nslowest stage: " + names[slowest] + " (" + (p90_told ? "p90 " + micros_text(slow.p90) : "max " + micros_text(slow.max)) +
           " us over " + std::to_string(slow.count) + (slow.count == 1 ? " latency" : " latencies") + ")\n";
    out += "most time in all: " + names[most] + " (" + micros_text(long_.total) + " us over " +
           std::to_string(long_.count) + (long_.count == 1 ? " latency" : " latencies") + ", mean " +
           micros_text(long_.mean) + " us)\n";
}

// A line per journey under a header of columns, or (detail) each journey
// hop by hop.
struct text_report final : report_writer {
    text_renderer text;
    bool detail;
    text_report(std::string &out, report_state &state, const std::vector<std::string> &hosts, bool detail_)
        : text{out, state, hosts, {}, {}, {}, {}}, detail(detail_)
    {
    }
    void header(const host_join *join) override
    {
        if (join)
            text.clocks(*join);
        if (!detail)
            text.header();
    }
    void journey(const ::journey &j) override { detail ? text.detail(j, nullptr) : text.line(j, nullptr); }
    void frames(const ::journey &) override {}
    void joined(const joined_journey &jj) override { detail ? text.detail(jj.whole, &jj) : text.line(jj.whole, &jj); }
    void summary(const report_totals &totals) override { text.summary(totals); }
};

} // namespace

std::string micros_text(int64_t ns)
{
    char text[32];
    auto end = std::to_chars(text, text + sizeof(text), double(ns) / 1000.0, std::chars_format::fixed, 1).ptr;
    return std::string(text, end);
}

std::unique_ptr<report_writer> text_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts)
{
    return std::make_unique<text_report>(out, state, hosts, false);
}

std::unique_ptr<report_writer> detail_writer(std::string &out, report_state &state,
                                             const std::vector<std::string> &hosts)
{
    return std::make_unique<text_report>(out, state, hosts, true);
}
