// One self-contained page: inline SVG and CSS, no script and nothing
// fetched, so it opens offline and can be mailed around. Each mark's <title>
// is the row it stands for, which the browser shows on hover.
#include <algorithm>
#include <cmath>

#include "host_join.h"
#include "report_output.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

// More lanes than this cannot be told apart on a screen: beyond it the
// timeline shows an even sample, and says so.
constexpr size_t LANES_MAX = 400;
constexpr int LANE_HEIGHT = 14, LABEL_WIDTH = 390, PLOT_WIDTH = 760;

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

// An axis label at a power of ten: "0.1 us", "10 us", "1 ms".
std::string micros_label(double decade)
{
    char text[32];
    if (decade >= 3)
        snprintf(text, sizeof(text), "%.0f ms", std::pow(10.0, decade - 3));
    else
        snprintf(text, sizeof(text), "%.*f us", decade < 0 ? int(-decade) : 0, std::pow(10.0, decade));
    return text;
}

// Drops are coloured by cause: a table's drop red, each reason the kernel
// gives its own colour (from the reason's name, so a cause keeps it from
// page to page); empty for an ending that is no drop.
std::string drop_colour(std::string_view ending)
{
    if (ending.rfind("dropped by table ", 0) == 0)
        return "#d62728";
    if (ending.rfind("dropped at ", 0) != 0)
        return "";
    static const char *const palette[] = {"#e07b00", "#9467bd", "#8c564b", "#e377c2",
                                          "#bcbd22", "#b8860b", "#c0392b", "#6a3d9a"};
    std::string_view reason = ending.substr(ending.rfind(": ") + 2);
    uint32_t h = 2166136261u;
    for (char c : reason)
        h = (h ^ uint8_t(c)) * 16777619u;
    return palette[h % (sizeof(palette) / sizeof(palette[0]))];
}

// One colour per function, along the path: transmit side warm, receive cool.
std::string colour_of(report_state &state, uint32_t function)
{
    int rank = place_of(state, function).rank;
    if (place_of(state, function).walk_entry || place_of(state, function).walk_return)
        return "#d62728";
    if (rank < 0)
        return "#7f7f7f";
    return "hsl(" + std::to_string(20 + rank * 300 / 190) + ",70%,45%)";
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

void append_endings(std::string &out, report_totals &totals)
{
    auto endings = count_endings(totals.endings);
    uint64_t most = endings.empty() ? 1 : endings.front().second;
    int height = int(endings.size()) * 22 + 10;
    out += "<svg class=\"chart\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH) + "\" height=\"" +
           std::to_string(height) + "\">\n";
    int y = 5;
    for (const auto &[ending, count] : endings) {
        double width = std::max(1.0, double(PLOT_WIDTH - 80) * double(count) / double(most));
        std::string colour = drop_colour(ending);
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
void append_stages(std::string &out, report_state &state, report_totals &totals)
{
    std::vector<stage_summary> stages = summarize_stages(state, totals.stages);
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
        std::string name = shown_name(state, s.from) + " -> " + shown_name(state, s.to);
        std::vector<uint64_t> bins(BINS);
        for (int64_t ns : s.sorted) {
            double at = (x_of(ns) - LABEL_WIDTH) / (PLOT_WIDTH - 40) * BINS;
            bins[std::min<size_t>(BINS - 1, size_t(std::max(0.0, at)))]++;
        }
        uint64_t most = *std::max_element(bins.begin(), bins.end());
        out += "<g><title>" + escaped(name) + ": " + std::to_string(s.count) + " latencies, p50 " +
               micros_text(s.p50) + " us, p90 " + micros_text(s.p90) + " us, p99 " + micros_text(s.p99) +
               " us, max " + micros_text(s.max) + " us</title>";
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
           "\" y=\"30\" text-anchor=\"end\">journeys started, over " + num(span_ns(first, last) / 1e9) +
           " s</text>\n";
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

// One lane per journey: x is the time since the journey's first row, on one
// scale for all lanes so stages line up; each row a mark, joined in order.
void append_lanes(std::string &out, report_state &state, const std::vector<const journey *> &shown)
{
    std::vector<int64_t> durations;
    for (const journey *j : shown)
        durations.push_back(j->duration_ns());
    std::sort(durations.begin(), durations.end());
    // The slowest few would squeeze every other lane: the scale ends at the 95th percentile.
    int64_t scale = std::max<int64_t>(1, durations[(durations.size() * 95 + 99) / 100 - 1]);
    out += "<p>Time since each journey's first row, 0 to " + micros_text(scale) +
           " us; later rows sit at the right edge. Hover a mark for its row.</p>\n";
    int height = int(shown.size()) * LANE_HEIGHT + 10;
    out += "<svg id=\"timeline\" width=\"" + std::to_string(LABEL_WIDTH + PLOT_WIDTH + 20) + "\" height=\"" +
           std::to_string(height) + "\">\n";
    int y = 5 + LANE_HEIGHT / 2;
    for (const journey *j : shown) {
        uint32_t protocol = state.sources[j->source].protocol;
        std::string colour = drop_colour(ending_of(state, *j));
        out += "<g class=\"lane" + std::string(j->dropped ? " dropped" : "") + "\"><text" +
               std::string(j->dropped ? " style=\"fill:" + colour + "\"" : "") + " x=\"" +
               std::to_string(LABEL_WIDTH - 8) + "\" y=\"" + std::to_string(y + 4) + "\" text-anchor=\"end\">" +
               escaped(flow_text(protocol, j->rows.front())) + "</text><title>" + escaped(ending_of(state, *j)) +
               ", " + micros_text(j->duration_ns()) + " us</title>";
        std::string points, marks;
        for (const trace_row &row : j->rows) {
            double x = LABEL_WIDTH + 10 +
                       double(PLOT_WIDTH - 20) * std::min(1.0, double(elapsed_ns(j->start(), row.time)) / double(scale));
            points += num(x) + "," + std::to_string(y) + " ";
            marks += "<circle class=\"mark\" cx=\"" + num(x) + "\" cy=\"" + std::to_string(y) +
                     "\" r=\"4\" fill=\"" + colour_of(state, row.function) + "\"><title>" +
                     row_title(state, protocol, row) + "</title></circle>";
        }
        out += "<polyline class=\"path\" points=\"" + points + "\"/>" + marks + "</g>\n";
        y += LANE_HEIGHT;
    }
    out += "</svg>\n";
}

void append_legend(std::string &out, report_state &state, const std::vector<const journey *> &shown)
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
    out += "<p class=\"legend\">";
    for (uint32_t f : functions)
        out += "<span><i style=\"background:" + colour_of(state, f) + "\"></i>" +
               escaped(shown_name(state, f)) + "</span> ";
    out += "</p>\n";
}

// One lane per packet seen on two hosts: the sender's rows on its band, the
// wire between, the receiver's rows on its band, all in the sender's clock.
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
    out += "Each lane: the sender's band, the wire (dashed), the receiver's band; 0 to " + micros_text(scale) +
           " us from the first row.</p>\n";
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
        std::string ending = ending_of(state, whole), colour = drop_colour(ending);
        out += "<g class=\"lane" + std::string(whole.dropped ? " dropped" : "") + "\"><text" +
               std::string(whole.dropped ? " style=\"fill:" + colour + "\"" : "") + " x=\"" +
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
            out += "<circle class=\"mark\" cx=\"" + num(x_of(whole, whole.rows[r].time)) + "\" cy=\"" +
                   std::to_string(y) + "\" r=\"4\" fill=\"" + colour_of(state, row.function) + "\"><title>" +
                   escaped(shown_text(join.hosts[r < sent ? jj.from : jj.to])) + ": " +
                   row_title(state, protocol, row) + "</title></circle>";
        }
        out += "</g>\n";
        y += LANE_HEIGHT;
    }
    out += "</svg>\n";
}

} // namespace

std::string html_page(report_state &state, const std::vector<const journey *> &journeys, report_totals &totals,
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
.lane text { font-size: 10px; } .lane:hover text { font-weight: bold; }
.mark:hover { stroke: #000; stroke-width: 2; }
.legend span { margin-right: 12px; white-space: nowrap; }
.legend i { display: inline-block; width: 10px; height: 10px; border-radius: 5px; margin-right: 4px; }
.note { color: #555; }
.band { opacity: 0.25; } .band.host0 { fill: #e07b00; } .band.host1 { fill: #4878a8; }
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
    out += "<h2>Endings</h2>\n";
    append_endings(out, totals);
    out += "<h2>Stage latencies</h2>\n<p class=\"note\">Per pair of consecutive functions: how often each "
           "latency occurred, log scale; black p50, orange p99.</p>\n";
    append_stages(out, state, totals);
    if (join && !joined.empty())
        append_joined_lanes(out, state, *join, joined);
    if (journeys.empty())
        return out + "</body></html>\n";
    out += "<h2>Timeline</h2>\n";
    append_density(out, journeys);
    std::vector<const journey *> shown;
    size_t step = (journeys.size() + LANES_MAX - 1) / LANES_MAX;
    for (size_t i = 0; i < journeys.size(); i += step)
        shown.push_back(journeys[i]);
    if (step > 1)
        out += "<p class=\"note\">" + std::to_string(journeys.size()) + " journeys are too many to draw one " +
               "lane each: the lanes below show " + std::to_string(shown.size()) + " of them, every " +
               std::to_string(step) + "th in start order. The charts above and the strip count all.</p>\n";
    append_legend(out, state, shown);
    append_lanes(out, state, shown);
    return out + "</body></html>\n";
}
