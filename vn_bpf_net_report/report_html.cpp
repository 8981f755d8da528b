// One self-contained page: inline SVG and CSS, no script and nothing
// fetched, so it opens offline and can be mailed around. Each mark's <title>
// is the row it stands for, which the browser shows on hover.
#include <algorithm>
#include <cmath>

#include <deque>

#include "endings.h"
#include "path_order.h"
#include "report_writer.h"
#include "stages.h"
#include "steps.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

// More lanes than this cannot be told apart on a screen: beyond it the
// timeline shows an even sample, and says so. Outliers are drawn whatever
// the sample: the slowest journeys, and the slowest of each ending (up to
// half the lanes, the rarest endings first).
constexpr size_t LANES_MAX = 400, SLOWEST_LANES = 10;
constexpr int LANE_HEIGHT = 14, LABEL_WIDTH = 390, PLOT_WIDTH = 760;
// Lanes leave room at their end for the ending and total time, so that a
// page 1400 pixels wide shows them whole: at most this many characters of
// an ending (its whole text on hover), in 10 px monospace.
constexpr int LANE_PLOT_WIDTH = 560, END_LABEL_WIDTH = 370;
constexpr size_t END_LABEL_ENDING_MAX = 48;

std::string escaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(double value)
{
    char text[32];
    snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

// An axis label at a power of ten: "0.1 µs", "10 µs", "1 ms" (as character
// references: the page is ASCII, so no byte of it can be taken amiss).
std::string micros_label(double decade)
{
    char text[32];
    if (decade >= 3)
        snprintf(text, sizeof(text), "%.0f ms", std::pow(10.0, decade - 3));
    else
        snprintf(text, sizeof(text), "%.*f &#xb5;s", decade < 0 ? int(-decade) : 0, std::pow(10.0, decade));
    return text;
}

// A time in the unit that reads best: "850 ns", "12.3 µs", "16.0 ms", "2.5 s".
std::string duration_text(double ns)
{
    char text[48];
    if (ns < 1e3)
        snprintf(text, sizeof(text), "%.0f ns", ns);
    else if (ns < 1e6)
        snprintf(text, sizeof(text), "%.1f &#xb5;s", ns / 1e3);
    else if (ns < 1e9)
        snprintf(text, sizeof(text), "%.1f ms", ns / 1e6);
    else
        snprintf(text, sizeof(text), "%.1f s", ns / 1e9);
    return text;
}

// A shown text of at most `max` characters, HTML-escaped, cut with an
// ellipsis, never inside a \xNN.
std::string escaped_short(const std::string &text, size_t max)
{
    if (text.size() <= max)
        return escaped(text);
    size_t keep = max - 1, escape = text.rfind('\\', keep);
    if (escape != std::string::npos && escape < keep && escape + 4 > keep)
        keep = escape;
    return escaped(std::string_view(text).substr(0, keep)) + "&#x2026;";
}

// Drops are coloured by cause: a table's drop red, each reason the kernel
// gives its own colour (from the reason's name, so a cause keeps it from
// page to page); empty for an ending that is no drop.
std::string drop_colour(const report_state &state, const ending &e)
{
    switch (e.kind) {
    case ending_kind::dropped_by_table:
        return "#d62728";
    case ending_kind::dropped_by_hook:
        return "#7b1f1f";
    case ending_kind::dropped:
        break;
    case ending_kind::ended:
    case ending_kind::never_arrived:
    case ending_kind::unknown:
    case ending_kind::raw_delivered:
    case ending_kind::freed_unread:
    case ending_kind::discarded:
    case ending_kind::time_wait:
    case ending_kind::copy_dropped:
    case ending_kind::samples_lost:
    case ending_kind::last_seen:
        return "";
    }
    static const char *const palette[] = {"#e07b00", "#9467bd", "#8c564b", "#e377c2",
                                          "#bcbd22", "#b8860b", "#c0392b", "#6a3d9a"};
    std::string reason = e.reason == NO_NAME ? "?" : shown_text(state.names.text(e.reason));
    uint32_t h = 2166136261u;
    for (char c : reason)
        h = (h ^ uint8_t(c)) * 16777619u;
    return palette[h % (sizeof(palette) / sizeof(palette[0]))];
}

// The page's texts of the trace, as the text report shows them.
std::string shown_name(const report_state &state, uint32_t id)
{
    return shown_text(state.names.text(id));
}
std::string shown_step(const report_state &state, uint32_t id)
{
    return shown_text(step_name(state, state.steps.get(id)));
}

// A mark's colour per function: table walks red, filled where a walk
// starts and a ring where it returns; a drop black; unknown functions
// grey; every other function one of a palette, in path order, so the
// functions next to each other on a path (tcp_v4_rcv, tcp_v4_do_rcv,
// tcp_rcv_established) never share one.
struct mark_style {
    std::string fill, stroke;
};
using function_styles = std::unordered_map<uint32_t, mark_style>;
constexpr const char *WALK_COLOUR = "#d62728";

function_styles styles_of(report_state &state, const std::vector<uint32_t> &functions)
{
    static const char *const palette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2",
                                          "#17becf", "#bcbd22", "#393b79", "#637939", "#7b4173", "#e6ab02"};
    function_styles styles;
    size_t next = 0;
    for (uint32_t f : functions) {
        function_place place = place_of(state, f);
        if (place.walk_entry)
            styles[f] = {WALK_COLOUR, WALK_COLOUR};
        else if (place.walk_return)
            styles[f] = {"#fff", WALK_COLOUR};
        else if (place.drop)
            styles[f] = {"#000", "#000"};
        else if (place.rank < 0)
            styles[f] = {"#7f7f7f", "#7f7f7f"};
        else {
            const char *colour = palette[next++ % (sizeof(palette) / sizeof(palette[0]))];
            styles[f] = {colour, colour};
        }
    }
    return styles;
}

std::string row_title(report_state &state, uint32_t protocol, const trace_row &row)
{
    std::string t = std::to_string(row.time) + " cpu " + std::to_string(row.cpu) + " " +
                    shown_name(state, row.function) + " " + shown_name(state, row.device) + " " +
                    shown_name(state, row.smac) + " > " + shown_name(state, row.dmac) + " " + flow_text(protocol, row);
    if (!state.names.text(row.other_info).empty())
        t += " " + shown_text(state.names.text(row.other_info), true);
    return escaped(t + " (line " + std::to_string(row.line) + ")");
}

void append_endings(std::string &out, const report_state &state, const std::vector<std::string> &hosts,
                    const report_totals &totals)
{
    std::vector<ending_count> endings = endings_by_count(state, hosts, totals);
    uint64_t most = endings.empty() ? 1 : endings.front().count;
    int height = int(endings.size()) * 22 + 10;
    out += "<svg class=\"chart\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH) + "\" height=\"" +
           std::to_string(height) + "\">\n";
    int y = 5;
    for (const ending_count &e : endings) {
        const std::string &ending = e.sentence;
        uint64_t count = e.count;
        double width = std::max(1.0, double(PLOT_WIDTH - 80) * double(count) / double(most));
        std::string colour = drop_colour(state, e.told);
        bool dropped = !colour.empty();
        out += "<g><title>" + escaped(ending) + ": " + std::to_string(count) + " journeys</title>";
        out += "<text x=\"" + std::to_string(LABEL_WIDTH - 8) + "\" y=\"" + std::to_string(y + 14) +
               "\" text-anchor=\"end\">" + escaped(ending) + "</text>";
        out += "<rect class=\"bar" + std::string(dropped ? " dropped\" style=\"fill:" + colour : "") + "\" x=\"" +
               std::to_string(LABEL_WIDTH) + "\" y=\"" + std::to_string(y + 2) + "\" width=\"" + num(width) +
               "\" height=\"16\"/>";
        out += "<text x=\"" + num(LABEL_WIDTH + width + 6) + "\" y=\"" + std::to_string(y + 14) + "\">" +
               std::to_string(count) + "</text></g>\n";
        y += 22;
    }
    out += "</svg>\n";
}

// Per stage pair a histogram on a log scale of microseconds, p50 and p99 marked.
void append_stages(std::string &out, report_state &state, const report_totals &totals)
{
    std::vector<stage_summary> stages = summarize_stages(state, totals.stages, true);
    int64_t low = INT64_MAX, high = 1;
    for (const stage_summary &s : stages) {
        low = std::min(low, std::max<int64_t>(s.sorted.front(), 10));
        high = std::max(high, s.max);
    }
    double first = std::floor(std::log10(double(std::max<int64_t>(low, 10)) / 1000.0));
    double last = std::max(first + 1, std::ceil(std::log10(double(std::max<int64_t>(high, 10)) / 1000.0)));
    auto x_of = [&](int64_t ns) {
        double us = std::max(double(ns), 10.0) / 1000.0;
        return LABEL_WIDTH + (std::log10(us) - first) / (last - first) * (PLOT_WIDTH - 40);
    };
    constexpr int ROW = 30, BINS = 80;
    int height = int(stages.size()) * ROW + 30;
    out += "<svg class=\"chart\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH) + "\" height=\"" +
           std::to_string(height) + "\">\n";
    for (double decade = first; decade <= last; decade++) {
        double x = LABEL_WIDTH + (decade - first) / (last - first) * (PLOT_WIDTH - 40);
        out += "<line class=\"grid\" x1=\"" + num(x) + "\" x2=\"" + num(x) + "\" y1=\"0\" y2=\"" +
               std::to_string(height - 20) + "\"/><text class=\"axis\" x=\"" + num(x) + "\" y=\"" +
               std::to_string(height - 6) + "\" text-anchor=\"middle\">" +
               micros_label(decade) + "</text>\n";
    }
    int y = 4;
    for (const stage_summary &s : stages) {
        std::string name = shown_step(state, s.from) + " -> " + shown_step(state, s.to);
        std::vector<uint64_t> bins(BINS);
        for (int64_t ns : s.sorted) {
            double at = (x_of(ns) - LABEL_WIDTH) / (PLOT_WIDTH - 40) * BINS;
            bins[std::min<size_t>(BINS - 1, size_t(std::max(0.0, at)))]++;
        }
        uint64_t most = *std::max_element(bins.begin(), bins.end());
        out += "<g><title>" + escaped(name) + ": " + std::to_string(s.count) + " latencies, p50 " +
               micros_text(s.p50) + " &#xb5;s, p90 " + micros_text(s.p90) + " &#xb5;s, p99 " + micros_text(s.p99) +
               " &#xb5;s, max " + micros_text(s.max) + " &#xb5;s</title>";
        out += "<text x=\"" + std::to_string(LABEL_WIDTH - 8) + "\" y=\"" + std::to_string(y + 17) +
               "\" text-anchor=\"end\">" + escaped(name) + "</text>";
        double bin_width = double(PLOT_WIDTH - 40) / BINS;
        for (int b = 0; b < BINS; b++) {
            if (!bins[size_t(b)])
                continue;
            double h = 4 + 20.0 * double(bins[size_t(b)]) / double(most);
            out += "<rect class=\"hist\" x=\"" + num(LABEL_WIDTH + b * bin_width) + "\" y=\"" +
                   num(y + 24 - h) + "\" width=\"" + num(bin_width) + "\" height=\"" + num(h) + "\"/>";
        }
        out += "<line class=\"p50\" x1=\"" + num(x_of(s.p50)) + "\" x2=\"" + num(x_of(s.p50)) + "\" y1=\"" +
               std::to_string(y) + "\" y2=\"" + std::to_string(y + 26) + "\"/>";
        out += "<line class=\"p99\" x1=\"" + num(x_of(s.p99)) + "\" x2=\"" + num(x_of(s.p99)) + "\" y1=\"" +
               std::to_string(y) + "\" y2=\"" + std::to_string(y + 26) + "\"/></g>\n";
        y += ROW;
    }
    out += "</svg>\n";
}

// The time from one start to a later one, in ns: starts may lie anywhere in
// int64_t, and the difference of two of them anywhere in uint64_t.
double span_ns(int64_t from, int64_t to)
{
    return double(uint64_t(to) - uint64_t(from));
}

// Journey starts over the whole trace: every journey counts, drawn or not.
void append_density(std::string &out, const std::vector<const journey *> &journeys)
{
    constexpr int BINS = 190, HEIGHT = 50;
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const journey *j : journeys)
        first = std::min(first, j->start()), last = std::max(last, j->start());
    double span = std::max(1.0, span_ns(first, last));
    std::vector<uint64_t> bins(BINS);
    for (const journey *j : journeys)
        bins[std::min<size_t>(BINS - 1, size_t(span_ns(first, j->start()) / span * (BINS - 1)))]++;
    uint64_t most = *std::max_element(bins.begin(), bins.end());
    out += "<svg class=\"chart\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH) + "\" height=\"" +
           std::to_string(HEIGHT + 20) + "\">\n<text x=\"" + std::to_string(LABEL_WIDTH - 8) +
           "\" y=\"30\" text-anchor=\"end\">journeys started, over " + duration_text(span_ns(first, last)) +
           "</text>\n";
    double width = double(PLOT_WIDTH) / BINS;
    for (int b = 0; b < BINS; b++) {
        if (!bins[size_t(b)])
            continue;
        double h = 2 + double(HEIGHT - 2) * double(bins[size_t(b)]) / double(most);
        out += "<rect class=\"hist\" x=\"" + num(LABEL_WIDTH + b * width) + "\" y=\"" + num(HEIGHT - h) +
               "\" width=\"" + num(width) + "\" height=\"" + num(h) + "\"><title>" +
               std::to_string(bins[size_t(b)]) + " journeys</title></rect>";
    }
    out += "\n</svg>\n";
}

// The lanes drawn: every journey when they are few; else an even sample in
// start order, and whatever the sample the slowest journeys and the slowest
// of each ending, so that an ending seen once still has its lane.
struct lane_choice {
    std::vector<const journey *> shown; // in start order
    std::vector<bool> slowest;          // by shown lane: among the slowest
    size_t slowest_count = 0;
    size_t step = 1;                    // the sample's: every step-th journey
    size_t endings = 0, endings_drawn = 0;
};

lane_choice choose_lanes(const std::vector<const journey *> &journeys)
{
    size_t n = journeys.size();
    std::vector<size_t> by_time(n);
    for (size_t i = 0; i < n; i++)
        by_time[i] = i;
    auto slower = [&](size_t a, size_t b) {
        return std::make_pair(-journeys[a]->duration_ns(), a) < std::make_pair(-journeys[b]->duration_ns(), b);
    };
    // The slowest tenth, at most SLOWEST_LANES: a few lanes are not all outliers.
    size_t slowest_count = std::clamp<size_t>(n / 10, 1, SLOWEST_LANES);
    std::partial_sort(by_time.begin(), by_time.begin() + long(slowest_count), by_time.end(), slower);

    std::vector<char> picked(n, 0); // 2: among the slowest
    for (size_t k = 0; k < slowest_count; k++)
        picked[by_time[k]] = 2;
    // The slowest of each ending, the rarest endings first.
    std::unordered_map<ending, std::pair<size_t, uint64_t>, ending_hash> endings; // its slowest, its count
    for (size_t i = 0; i < n; i++) {
        auto [at, added] = endings.try_emplace(as_told(journeys[i]->end), i, 0);
        at->second.second++;
        if (!added && slower(i, at->second.first))
            at->second.first = i;
    }
    std::vector<std::pair<uint64_t, size_t>> rarest;
    for (const auto &[ending, slowest_and_count] : endings)
        rarest.push_back({slowest_and_count.second, slowest_and_count.first});
    std::sort(rarest.begin(), rarest.end());
    lane_choice choice;
    choice.slowest_count = slowest_count;
    choice.endings = rarest.size();
    size_t outliers = slowest_count;
    for (const auto &[count, i] : rarest) {
        if (n > LANES_MAX && choice.endings_drawn >= LANES_MAX / 2)
            break;
        choice.endings_drawn++;
        if (!picked[i])
            picked[i] = 1, outliers++;
    }
    if (n > LANES_MAX) {
        size_t room = LANES_MAX - outliers;
        choice.step = (n + room - 1) / room;
    }
    for (size_t i = 0; i < n; i += choice.step)
        picked[i] = std::max<char>(picked[i], 1);
    for (size_t i = 0; i < n; i++)
        if (picked[i]) {
            choice.shown.push_back(journeys[i]);
            choice.slowest.push_back(picked[i] == 2);
        }
    return choice;
}

// One lane per journey: x is the time since the journey's first row, on one
// scale for all lanes so stages line up; each row a mark, joined in order,
// and after the last the journey's ending and total time.
void append_lanes(std::string &out, report_state &state, const std::vector<std::string> &hosts,
                  const lane_choice &lanes, const function_styles &styles)
{
    std::vector<int64_t> durations;
    for (const journey *j : lanes.shown)
        durations.push_back(j->duration_ns());
    std::sort(durations.begin(), durations.end());
    // The slowest few would squeeze every other lane: the scale ends at the 95th percentile.
    int64_t scale = std::max<int64_t>(1, durations[(durations.size() * 95 + 99) / 100 - 1]);
    out += "<p>Time since each journey's first row, 0 to " + duration_text(double(scale)) +
           "; later rows sit at the right edge. Each lane ends in its journey's ending and total time; "
           "the " + std::to_string(lanes.slowest_count) + " slowest in bold. Hover a mark for its row.</p>\n";
    int height = int(lanes.shown.size()) * LANE_HEIGHT + 10;
    out += "<svg id=\"timeline\" width=\"" + std::to_string(LABEL_WIDTH + LANE_PLOT_WIDTH + END_LABEL_WIDTH) +
           "\" height=\"" + std::to_string(height) + "\">\n";
    int y = 5 + LANE_HEIGHT / 2;
    for (size_t lane = 0; lane < lanes.shown.size(); lane++) {
        const journey *j = lanes.shown[lane];
        uint32_t protocol = state.sources[j->source].protocol;
        std::string ending = ending_sentence(state.names, hosts, j->end), colour = drop_colour(state, j->end);
        std::string fill = j->end.is_drop() ? " style=\"fill:" + colour + "\"" : "";
        out += "<g class=\"lane" + std::string(j->end.is_drop() ? " dropped" : "") +
               (lanes.slowest[lane] ? " slowest" : "") + "\"><text" + fill + " x=\"" +
               std::to_string(LABEL_WIDTH - 8) + "\" y=\"" + std::to_string(y + 4) + "\" text-anchor=\"end\">" +
               escaped(flow_text(protocol, j->rows.front())) + "</text><title>" + escaped(ending) + ", " +
               duration_text(double(j->duration_ns())) + "</title>";
        std::string points, marks;
        double x = 0;
        for (const trace_row &row : j->rows) {
            x = LABEL_WIDTH + 10 + double(LANE_PLOT_WIDTH - 20) *
                                       std::min(1.0, double(elapsed_ns(j->start(), row.time)) / double(scale));
            const mark_style &style = styles.at(row.function);
            points += num(x) + "," + std::to_string(y) + " ";
            marks += "<circle class=\"mark\" cx=\"" + num(x) + "\" cy=\"" + std::to_string(y) +
                     "\" r=\"4\" fill=\"" + style.fill + "\" stroke=\"" + style.stroke + "\"><title>" +
                     row_title(state, protocol, row) + "</title></circle>";
        }
        out += "<polyline class=\"path\" points=\"" + points + "\"/>" + marks + "<text class=\"end\"" + fill +
               " x=\"" + num(x + 8) + "\" y=\"" + std::to_string(y + 4) + "\">" +
               escaped_short(ending, END_LABEL_ENDING_MAX) + ", " + duration_text(double(j->duration_ns())) +
               "</text></g>\n";
        y += LANE_HEIGHT;
    }
    out += "</svg>\n";
}

// The functions of the lanes, in path order.
std::vector<uint32_t> functions_of(report_state &state, const std::vector<const journey *> &shown)
{
    std::vector<uint32_t> functions;
    for (const journey *j : shown)
        for (const trace_row &row : j->rows)
            if (std::find(functions.begin(), functions.end(), row.function) == functions.end())
                functions.push_back(row.function);
    std::sort(functions.begin(), functions.end(), [&](uint32_t a, uint32_t b) {
        return std::make_pair(place_of(state, a).rank, state.names.text(a)) <
               std::make_pair(place_of(state, b).rank, state.names.text(b));
    });
    return functions;
}

void append_legend(std::string &out, report_state &state, const std::vector<uint32_t> &functions,
                   const function_styles &styles)
{
    out += "<p class=\"legend\">";
    for (uint32_t f : functions) {
        const mark_style &style = styles.at(f);
        function_place place = place_of(state, f);
        std::string role = place.walk_entry    ? " (table walk)"
                           : place.walk_return ? " (walk's return)"
                           : place.drop        ? " (drop)"
                                               : "";
        out += "<span><i style=\"background:" + style.fill + ";border-color:" + style.stroke + "\"></i>" +
               escaped(shown_name(state, f)) + role + "</span> ";
    }
    out += "</p>\n";
}

// One lane per packet seen on two hosts: the sender's rows on its band, the
// wire between, the receiver's rows on its band, all in the sender's clock;
// marks coloured by host.
void append_joined_lanes(std::string &out, report_state &state, const host_join &join,
                         const std::vector<const joined_journey *> &joined)
{
    std::vector<int64_t> durations;
    for (const joined_journey *jj : joined)
        durations.push_back(joined_duration(*jj));
    std::sort(durations.begin(), durations.end());
    int64_t scale = std::max<int64_t>(1, durations[(durations.size() * 95 + 99) / 100 - 1]);
    out += "<h2>Across hosts</h2>\n<p class=\"note\">";
    for (const host_clock &c : join.clocks)
        out += escaped(shown_text(join.hosts[c.b])) + "'s clock = " + escaped(shown_text(join.hosts[c.a])) +
               "'s + " + std::to_string(c.offset_ns) + " ns &plusmn; " + std::to_string(c.error_ns) + " ns (" +
               std::to_string(c.matched) + " packets seen on both). ";
    out += "Each lane: the sender's rows on an orange band, the wire dashed, the receiver's rows on a blue band; "
           "0 to " + micros_text(scale) + " us from the first row, later rows at the right edge. Hover a mark for "
           "its host and row.</p>\n";
    size_t step = (joined.size() + LANES_MAX - 1) / LANES_MAX;
    int lanes = int((joined.size() + step - 1) / step);
    out += "<svg id=\"joined\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH + 20) + "\" height=\"" +
           std::to_string(lanes * LANE_HEIGHT + 10) + "\">\n";
    auto x_of = [&](const journey &whole, int64_t time) {
        return LABEL_WIDTH + 10 +
               double(PLOT_WIDTH - 20) * std::min(1.0, double(elapsed_ns(whole.start(), time)) / double(scale));
    };
    int y = 5 + LANE_HEIGHT / 2;
    for (size_t i = 0; i < joined.size(); i += step) {
        const joined_journey &jj = *joined[i];
        const journey &whole = jj.whole;
        uint32_t protocol = state.sources[whole.source].protocol;
        size_t sent = jj.sent->rows.size();
        double x0 = x_of(whole, whole.start()), x1 = x_of(whole, whole.rows[sent - 1].time),
               x2 = x_of(whole, whole.rows[sent].time), x3 = x_of(whole, whole.rows.back().time);
        std::string ending = ending_sentence(state.names, join.hosts, whole.end), colour = drop_colour(state, whole.end);
        out += "<g class=\"lane" + std::string(whole.end.is_drop() ? " dropped" : "") + "\"><text" +
               std::string(whole.end.is_drop() ? " style=\"fill:" + colour + "\"" : "") + " x=\"" +
               std::to_string(LABEL_WIDTH - 8) + "\" y=\"" + std::to_string(y + 4) + "\" text-anchor=\"end\">" +
               escaped(flow_text(protocol, whole.rows.front())) + "</text><title>" +
               escaped(shown_text(join.hosts[jj.from]) + " -> " + shown_text(join.hosts[jj.to]) + ", " + ending +
                       ", " + micros_text(whole.duration_ns()) + " us, wire " + micros_text(jj.wire_ns) +
                       " us +- " + micros_text(jj.wire_error_ns) + " us") +
               "</title>";
        const std::pair<double, double> bands[] = {{x0, x1}, {x2, x3}};
        for (int b = 0; b < 2; b++)
            out += "<rect class=\"band host" + std::to_string(b) + "\" x=\"" + num(bands[b].first - 5) +
                   "\" y=\"" + std::to_string(y - 6) + "\" width=\"" + num(bands[b].second - bands[b].first + 10) +
                   "\" height=\"12\"><title>" + escaped(shown_text(join.hosts[b ? jj.to : jj.from])) +
                   "</title></rect>";
        out += "<line class=\"wire\" x1=\"" + num(x1) + "\" x2=\"" + num(x2) + "\" y1=\"" + std::to_string(y) +
               "\" y2=\"" + std::to_string(y) + "\"><title>wire " + micros_text(jj.wire_ns) + " us +- " +
               micros_text(jj.wire_error_ns) + " us</title></line>";
        for (size_t r = 0; r < whole.rows.size(); r++) {
            const trace_row &row = r < sent ? jj.sent->rows[r] : jj.received->rows[r - sent];
            out += "<circle class=\"mark host" + std::string(r < sent ? "0" : "1") + "\" cx=\"" +
                   num(x_of(whole, whole.rows[r].time)) + "\" cy=\"" + std::to_string(y) + "\" r=\"4\"><title>" +
                   escaped(shown_text(join.hosts[r < sent ? jj.from : jj.to])) + ": " +
                   row_title(state, protocol, row) + "</title></circle>";
        }
        out += "</g>\n";
        y += LANE_HEIGHT;
    }
    out += "</svg>\n";
}

std::string html_page(report_state &state, const std::vector<std::string> &hosts,
                      const std::vector<const journey *> &journeys, const report_totals &totals,
                      const std::vector<const joined_journey *> &joined, const host_join *join)
{
    std::string out = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>vn_bpf_net_report: packet journeys</title>
<style>
body { font: 13px/1.4 system-ui, sans-serif; margin: 16px 24px; color: #222; background: #fff; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 16px; margin: 22px 0 6px; }
svg text { font: 11px monospace; fill: #333; }
.bar { fill: #4878a8; } .bar.dropped { fill: #d62728; }
.hist { fill: #4878a8; opacity: 0.8; }
.p50 { stroke: #111; stroke-width: 2; } .p99 { stroke: #e07b00; stroke-width: 2; }
.grid { stroke: #ddd; } .axis { fill: #666; }
.path { fill: none; stroke: #999; stroke-width: 1.5; }
.lane.dropped text { fill: #d62728; } .lane:hover .path { stroke: #000; stroke-width: 2.5; }
.lane text { font-size: 10px; } .lane:hover text, .lane.slowest text.end { font-weight: bold; }
.mark:hover { stroke: #000; stroke-width: 2; }
.legend span { margin-right: 12px; white-space: nowrap; }
.legend i { display: inline-block; width: 8px; height: 8px; border: 2px solid; border-radius: 6px; margin-right: 4px; }
.note { color: #555; }
.classes { font-size: 16px; } .classes .count { font-weight: bold; }
.band { opacity: 0.25; } .host0 { fill: #e07b00; } .host1 { fill: #4878a8; }
.wire { stroke: #555; stroke-width: 1.5; stroke-dasharray: 4 3; }
</style></head><body>
<h1>Packet journeys</h1>
)";
    std::string files;
    for (const trace_source &source : state.sources) {
        std::string name = shown_text(source.name, true);
        if (files.find(name) == std::string::npos)
            files += (files.empty() ? "" : ", ") + name;
    }
    out += "<p class=\"note\">" + escaped(files) + ": " + std::to_string(totals.journeys) + " journeys, " +
           std::to_string(totals.rows) + " rows; frames with repeated fields: " +
           std::to_string(totals.repeated_frames) + "; unreadable rows: " + std::to_string(state.unreadable_rows) +
           ".</p>\n";
    if (journeys.empty() && joined.empty())
        return out + "<p>No journeys.</p></body></html>\n";
    out += "<p class=\"classes\">";
    for (ending_class c : {ending_class::delivered, ending_class::dropped, ending_class::not_seen})
        out += std::string(c == ending_class::delivered ? "" : " &middot; ") + "<span class=\"count\">" +
               std::to_string(totals.by_class[size_t(c)]) + "</span> " +
               (c == ending_class::not_seen ? "not seen to the end" : class_name(c));
    out += "</p>\n";
    out += "<h2>Endings</h2>\n";
    append_endings(out, state, hosts, totals);
    out += "<h2>Stage latencies</h2>\n<p class=\"note\">Per pair of consecutive functions: how often each "
           "latency occurred, log scale; black p50, orange p99.</p>\n";
    append_stages(out, state, totals);
    if (join && !joined.empty())
        append_joined_lanes(out, state, *join, joined);
    if (journeys.empty())
        return out + "</body></html>\n";
    out += "<h2>Timeline</h2>\n";
    append_density(out, journeys);
    lane_choice lanes = choose_lanes(journeys);
    if (lanes.step > 1)
        out += "<p class=\"note\">" + std::to_string(journeys.size()) + " journeys are too many to draw one " +
               "lane each: the lanes below show " + std::to_string(lanes.shown.size()) + " of them, every " +
               std::to_string(lanes.step) + "th in start order, the " + std::to_string(lanes.slowest_count) +
               " slowest and the slowest of each of " +
               (lanes.endings_drawn < lanes.endings ? "the " + std::to_string(lanes.endings_drawn) + " rarest of " : "") +
               "the " + std::to_string(lanes.endings) + " endings. The charts above and the strip count all.</p>\n";
    std::vector<uint32_t> functions = functions_of(state, lanes.shown);
    function_styles styles = styles_of(state, functions);
    append_legend(out, state, functions, styles);
    append_lanes(out, state, hosts, lanes, styles);
    return out + "</body></html>\n";
}

// The page keeps the journeys it is given (the text written so far is no
// help: it is in another writer's form) and draws them at the end.
struct page_report final : report_writer {
    std::string &out;
    report_state &state;
    const std::vector<std::string> &hosts;
    const host_join *join = nullptr;
    std::deque<::journey> kept;
    std::vector<const joined_journey *> kept_joined;

    page_report(std::string &out_, report_state &state_, const std::vector<std::string> &hosts_)
        : out(out_), state(state_), hosts(hosts_)
    {
    }
    void header(const host_join *join_) override { join = join_; }
    void journey(const ::journey &j) override { kept.push_back(j); }
    void frames(const ::journey &) override {}
    void joined(const joined_journey &jj) override { kept_joined.push_back(&jj); }
    void summary(const report_totals &totals) override
    {
        std::vector<const ::journey *> journeys;
        for (const ::journey &j : kept)
            journeys.push_back(&j);
        out = html_page(state, hosts, journeys, totals, kept_joined, join);
    }
};

} // namespace

std::unique_ptr<report_writer> page_writer(std::string &out, report_state &state,
                                           const std::vector<std::string> &hosts)
{
    return std::make_unique<page_report>(out, state, hosts);
}
