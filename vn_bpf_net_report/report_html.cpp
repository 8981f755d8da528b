// One self-contained page: inline SVG and CSS, no script and nothing
// fetched, so it opens offline and can be mailed around. It reads from the
// answer down: how the journeys ended, what was slowest, each stage's
// latencies, then a lane per journey. Charts place their marks in percent
// of their width, so text keeps its size in a window 800 pixels wide as in
// a wide one; a text too long for its column ends in an ellipsis and shows
// whole on hover, as each mark's <title> shows the row it stands for.
#include <algorithm>
#include <cmath>
#include <deque>
#include <numeric>
#include <set>

#include "endings.h"
#include "path_order.h"
#include "report_writer.h"
#include "stages.h"
#include "steps.h"
#include "trace_rows.h"

namespace {

// More lanes than this cannot be told apart on a screen: beyond it the
// timeline shows an even sample, and says so. Outliers are drawn whatever
// the sample: the slowest journeys, and the slowest of each ending (up to
// half the lanes, the rarest endings first).
constexpr size_t LANES_MAX = 400, SLOWEST_LANES = 10;
// The short lists of the slowest journeys and stages.
constexpr size_t LISTED_MAX = 5;
constexpr int HISTOGRAM_BINS = 60;
// Axis labels closer than this (a fraction of the axis) would run into each other at 800 pixels.
constexpr double TICK_LABEL_GAP = 0.11;

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

// A fraction of a chart's width as an SVG length, fine enough that journeys
// a nanosecond apart in a millisecond end at different places: "12.345%".
std::string percent(double fraction)
{
    char text[32];
    snprintf(text, sizeof(text), "%.4f%%", 100 * std::clamp(fraction, 0.0, 1.0));
    return text;
}

// 10^power ns as an axis labels it: "100 ns", "10 µs", "1 ms", "10 s" (as
// character references: the page is ASCII, so no byte of it can be taken amiss).
std::string decade_text(int power)
{
    static const char *const units[] = {"ns", "&#xb5;s", "ms", "s"};
    int unit = std::clamp(power / 3, 0, 3);
    return "1" + std::string(size_t(power - unit * 3), '0') + " " + units[unit];
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

// The page's texts of the trace, as the text report shows them.
std::string shown_name(const report_state &state, uint32_t id)
{
    return shown_text(state.names.text(id));
}
std::string shown_step(const report_state &state, uint32_t id)
{
    return shown_text(step_name(state, state.steps.get(id)));
}

// "ip_rcv -> ip_local_deliver" as HTML, wrapped only beside its arrow.
std::string stage_html(const report_state &state, uint32_t from, uint32_t to)
{
    return escaped(shown_step(state, from)) + " <span class=\"arrow\">-&gt;</span> " + escaped(shown_step(state, to));
}

// Stages are per host where hosts are joined (stage_hosts): the host first.
std::string stage_html(const report_state &state, const stage_summary &s, const std::vector<std::string> *stage_hosts)
{
    std::string host = stage_hosts && s.group < stage_hosts->size()
                           ? "<span class=\"host\">" + escaped(shown_text((*stage_hosts)[s.group])) + ":</span> "
                           : "";
    return host + stage_html(state, s.from, s.to);
}
std::string stage_text(const report_state &state, const stage_summary &s, const std::vector<std::string> *stage_hosts)
{
    std::string host = stage_hosts && s.group < stage_hosts->size() ? shown_text((*stage_hosts)[s.group]) + ": " : "";
    return host + shown_step(state, s.from) + " -> " + shown_step(state, s.to);
}

// Every colour on the page means one thing: a class of endings, a drop's
// cause, a function, a host's band. Each is taken once; a colour made for
// one thing that another already has is made a shade lighter. Red hues are
// the drops': a table's drop red, each reason the kernel gives its own
// (from the reason's name, so a cause mostly keeps it from page to page).
constexpr const char *TABLE_DROP = "#d62728", *HOOK_DROP = "#7b1f1f", *FORWARDING_OFF_DROP = "#a61e4d",
                      *REWRITE_MARK = "#0b7285", *DELIVERED = "#2f9e44",
                      *NOT_SEEN = "#98a2ad", *DROP_MARK = "#000000", *SENDER_BAND = "#9775fa",
                      *RECEIVER_BAND = "#4c8bd6", *COUNT_BAR = "#6f8aa6", *TEXT = "#222222";
const char *const DROP_REASONS[] = {"#e8590c", "#c2255c", "#f783ac", "#8c4a00",
                                    "#ff8787", "#9c3d6e", "#f59f00", "#e64980"};

struct mark_style {
    std::string fill, stroke;
};
struct page_colours {
    std::set<std::string> taken{TABLE_DROP, HOOK_DROP, FORWARDING_OFF_DROP, REWRITE_MARK, DELIVERED, NOT_SEEN, DROP_MARK,
                                SENDER_BAND, RECEIVER_BAND, COUNT_BAR, TEXT};
    std::unordered_map<uint32_t, std::string> reasons; // by the reason's name id
    std::unordered_map<uint32_t, mark_style> functions;
};

std::string hsl(double hue, double saturation, double lightness)
{
    double l = lightness / 100, c = (1 - std::fabs(2 * l - 1)) * saturation / 100;
    double h = std::fmod(hue, 360) / 60, x = c * (1 - std::fabs(std::fmod(h, 2) - 1)), m = l - c / 2;
    double r = 0, g = 0, b = 0;
    switch (int(h)) {
    case 0: r = c, g = x; break;
    case 1: r = x, g = c; break;
    case 2: g = c, b = x; break;
    case 3: g = x, b = c; break;
    case 4: r = x, b = c; break;
    default: r = c, b = x; break;
    }
    char text[8];
    snprintf(text, sizeof(text), "#%02x%02x%02x", int(std::lround((r + m) * 255)), int(std::lround((g + m) * 255)),
             int(std::lround((b + m) * 255)));
    return text;
}

// The colour, or the next lighter shade of it that nothing else has.
std::string take_hsl(page_colours &colours, double hue, double saturation, double lightness)
{
    for (int step = 0;; step++) {
        std::string colour = hsl(hue + 7 * (step / 65), saturation, 25 + std::fmod(lightness - 25 + step, 65));
        if (colours.taken.insert(colour).second)
            return colour;
    }
}

std::string reason_colour(page_colours &colours, const report_state &state, uint32_t reason)
{
    auto known = colours.reasons.find(reason);
    if (known != colours.reasons.end())
        return known->second;
    std::string name = reason == NO_NAME ? "?" : shown_text(state.names.text(reason));
    uint32_t h = 2166136261u;
    for (char c : name)
        h = (h ^ uint8_t(c)) * 16777619u;
    constexpr size_t n = sizeof(DROP_REASONS) / sizeof(DROP_REASONS[0]);
    std::string colour;
    for (size_t k = 0; k < n && colour.empty(); k++)
        if (colours.taken.insert(DROP_REASONS[(h + k) % n]).second)
            colour = DROP_REASONS[(h + k) % n];
    if (colour.empty()) // more causes than the palette: other shades of red
        colour = take_hsl(colours, 345 + h % 30, 75, 30 + h % 40);
    return colours.reasons[reason] = colour;
}

// An ending's colour: its class's, or for a drop its cause's.
std::string ending_colour(page_colours &colours, const report_state &state, const ending &e)
{
    switch (e.what()) {
    case ending_class::delivered:
        return DELIVERED;
    case ending_class::not_seen:
        return NOT_SEEN;
    case ending_class::dropped:
        break;
    }
    if (e.kind == ending_kind::dropped_by_table)
        return TABLE_DROP;
    if (e.kind == ending_kind::dropped_by_hook)
        return HOOK_DROP;
    if (e.kind == ending_kind::forwarding_off)
        return FORWARDING_OFF_DROP;
    return reason_colour(colours, state, e.reason);
}

// A swatch of an ending's colour; table drops are marked so, as theirs is the one red.
std::string ending_swatch(page_colours &colours, const report_state &state, const ending &e)
{
    return std::string("<i class=\"swatch") + (e.kind == ending_kind::dropped_by_table ? " table-drop" : "") +
           "\" style=\"background:" + ending_colour(colours, state, e) + "\"></i>";
}

// A mark's colour per function, each its own: hues evenly spread over all
// but the reds, lightness in turn from one hue to the next, and functions
// in path order a golden-ratio stride apart on them, so that functions next
// to each other on a path (tcp_v4_rcv, tcp_v4_do_rcv, tcp_rcv_established)
// differ most. A table walk is filled, its return a ring; a drop black.
void take_function_colours(page_colours &colours, report_state &state, const std::vector<uint32_t> &functions)
{
    std::vector<uint32_t> spread;
    bool first_drop = true;
    for (uint32_t f : functions) {
        if (!place_of(state, f).drop) {
            spread.push_back(f);
            continue;
        }
        std::string colour = first_drop ? DROP_MARK : take_hsl(colours, 0, 0, 25);
        colours.functions[f] = {colour, colour};
        first_drop = false;
    }
    static const double lightness[] = {34, 47, 58};
    size_t n = spread.size(), stride = std::max<size_t>(1, size_t(double(n) * 0.382));
    while (std::gcd(stride, n) > 1) // every hue once
        stride++;
    for (size_t i = 0; i < n; i++) {
        size_t slot = i * stride % n;
        std::string colour = take_hsl(colours, 60 + 255.0 * double(slot) / double(n), 72, lightness[slot % 3]);
        colours.functions[spread[i]] = {place_of(state, spread[i]).walk_return ? "#ffffff" : colour, colour};
    }
}

std::string row_title(report_state &state, uint32_t protocol, const trace_row &row)
{
    std::string t = std::to_string(row.time) + " cpu " + std::to_string(row.cpu) + " " +
                    shown_name(state, row.function) + " " + device_text(state, row) + " " +
                    shown_name(state, row.smac) + " > " + shown_name(state, row.dmac) + " " +
                    flow_text(state.names, protocol, row);
    if (!state.names.text(row.other_info).empty())
        t += " " + shown_text(state.names.text(row.other_info), true);
    return escaped(t + " (line " + std::to_string(row.line) + ")");
}

// Delivered, dropped, not seen to the end: the first thing a reader wants,
// with a strip of all journeys by ending beneath.
void append_classes(std::string &out, page_colours &colours, const report_state &state,
                    const std::vector<ending_count> &endings, const report_totals &totals)
{
    const ending_class classes[] = {ending_class::delivered, ending_class::dropped, ending_class::not_seen};
    double all = double(std::max<uint64_t>(1, totals.journeys));
    out += "<p class=\"classes\">";
    for (ending_class c : classes) {
        uint64_t count = totals.by_class[size_t(c)];
        out += std::string("<span class=\"class ") + class_name(c) + "\"><span class=\"count\">" +
               std::to_string(count) + "</span> " + (c == ending_class::not_seen ? "not seen to the end" : class_name(c)) +
               " <span class=\"share\">" + std::to_string(std::lround(100 * double(count) / all)) + "%</span></span>";
    }
    out += "</p>\n<div class=\"shares\">";
    for (ending_class c : classes)
        for (const ending_count &e : endings)
            if (e.told.what() == c)
                out += std::string("<span class=\"segment") +
                       (e.told.kind == ending_kind::dropped_by_table ? " table-drop" : "") + "\" style=\"width:" +
                       percent(double(e.count) / all) + ";background:" + ending_colour(colours, state, e.told) +
                       "\" title=\"" + escaped(e.sentence) + ": " + std::to_string(e.count) + "\"></span>";
    out += "</div>\n";
}

// Endings by count, a bar each in its class's colour or its cause's.
void append_endings(std::string &out, page_colours &colours, const report_state &state,
                    const std::vector<ending_count> &endings)
{
    uint64_t most = endings.empty() ? 1 : endings.front().count;
    out += "<div class=\"endings\">\n";
    for (const ending_count &e : endings) {
        bool table = e.told.kind == ending_kind::dropped_by_table;
        out += "<div class=\"ending\" title=\"" + escaped(e.sentence) + ": " + std::to_string(e.count) +
               " journeys\"><span class=\"label two-lines\">" + escaped(e.sentence) + "</span><span class=\"num\">" +
               std::to_string(e.count) + "</span><span class=\"track\"><span class=\"bar" +
               (e.told.is_drop() ? " dropped" : "") + (table ? " table-drop" : "") + "\" style=\"width:" +
               percent(double(e.count) / double(most)) + ";background:" + ending_colour(colours, state, e.told) +
               "\"></span></span></div>\n";
    }
    out += "</div>\n";
}

// The time from one start to a later one, in ns: starts may lie anywhere in
// int64_t, and the difference of two of them anywhere in uint64_t.
double span_ns(int64_t from, int64_t to)
{
    return double(uint64_t(to) - uint64_t(from));
}

// A lane: one journey drawn, standing for `count` alike (the same flow
// text, path and ending), the slowest of them. `joined` when the journey is
// a packet seen on two hosts (its whole).
struct lane {
    const journey *drawn;
    const joined_journey *joined;
    int64_t duration;
    size_t count;
};

// The step pair of a journey with the longest time between (as HTML), and that time.
std::pair<std::string, int64_t> longest_stage(report_state &state, const lane &l)
{
    const journey &j = *l.drawn;
    size_t at = 0;
    int64_t most = 0;
    for (size_t i = 1; i < j.rows.size(); i++)
        if (int64_t gap = elapsed_ns(j.rows[i - 1].time, j.rows[i].time); !at || gap > most)
            at = i, most = gap;
    if (!at)
        return {"", 0};
    if (l.joined && at == l.joined->sent->rows.size())
        return {"the wire", most};
    return {stage_html(state, j.steps[at - 1], j.steps[at]), most};
}

void append_slowest_journeys(std::string &out, report_state &state, const std::vector<std::string> &hosts,
                             page_colours &colours, std::vector<lane> all)
{
    size_t listed = std::min(LISTED_MAX, all.size());
    std::partial_sort(all.begin(), all.begin() + long(listed), all.end(),
                      [](const lane &a, const lane &b) { return a.duration > b.duration; });
    out += "<div><h3>Slowest journeys</h3>\n<table class=\"list\"><tr><th class=\"num time\">total</th><th>flow</th>"
           "<th>ending</th><th>its longest stage</th></tr>\n";
    for (size_t i = 0; i < listed; i++) {
        const journey &j = *all[i].drawn;
        auto [stage, stage_ns] = longest_stage(state, all[i]);
        // The first of its flow may pay once what later ones do not: say so beside its time.
        std::string first = j.first_of_flow ? "<span class=\"first\" title=\"the first journey of its flow: it may pay "
                                              "once what later ones do not (the neighbour's address resolved, the "
                                              "connection's first NAT walk)\">*</span>"
                                            : "";
        out += "<tr><td class=\"num\">" + duration_text(double(all[i].duration)) + first + "</td><td class=\"mono\" title=\"" +
               "starts at " + std::to_string(j.start()) + " (--start)\">" +
               escaped(flow_text(state.names, state.sources[j.source].protocol, j.rows.front())) + "</td><td>" +
               ending_swatch(colours, state, j.end) + escaped(ending_sentence(state.names, hosts, j.end)) +
               "</td><td class=\"mono\">" +
               (stage.empty() ? "" : stage + ", " + duration_text(double(stage_ns))) + "</td></tr>\n";
    }
    out += "</table></div>\n";
}

void append_slowest_stages(std::string &out, report_state &state, const std::vector<stage_summary> &stages,
                           const std::vector<std::string> *stage_hosts)
{
    out += "<div><h3>Slowest stages</h3>\n<table class=\"list\"><tr><th>stage</th><th class=\"num count\">latencies</th>"
           "<th class=\"num time\">p50</th><th class=\"num time\">p90</th><th class=\"num time\">max</th></tr>\n";
    std::vector<size_t> order = slowest_first(stages);
    for (size_t i = 0; i < std::min(LISTED_MAX, order.size()); i++) {
        const stage_summary &s = stages[order[i]];
        out += "<tr><td class=\"mono\">" + stage_html(state, s, stage_hosts) +
               "</td><td class=\"num\">" + std::to_string(s.count) + "</td><td class=\"num\">" +
               duration_text(double(s.p50)) + "</td><td class=\"num\"" +
               (s.count >= P90_COUNT_MIN ? ">" + duration_text(double(s.p90))
                                         : " title=\"no p90 from fewer than " + std::to_string(P90_COUNT_MIN) +
                                               " latencies\">-") +
               "</td><td class=\"num\">" + duration_text(double(s.max)) + "</td></tr>\n";
    }
    out += "</table>\n<p class=\"note\">By p90, told from " + std::to_string(P90_COUNT_MIN) +
           " latencies on; stages seen fewer times follow, by their maximum.</p></div>\n";
}

// An axis: a tick at each fraction, labelled where the label has room.
struct tick {
    double at; // fraction of the axis
    std::string label;
};
void append_axis(std::string &out, const std::vector<tick> &ticks)
{
    out += "<svg class=\"axis\" height=\"18\">";
    double last = -1;
    for (const tick &t : ticks) {
        out += "<line class=\"tick\" x1=\"" + percent(t.at) + "\" x2=\"" + percent(t.at) + "\" y1=\"0\" y2=\"4\"/>";
        if (t.at - last < TICK_LABEL_GAP)
            continue;
        last = t.at;
        const char *anchor = t.at < 0.04 ? "start" : t.at > 0.96 ? "end" : "middle";
        out += "<text x=\"" + percent(t.at) + "\" y=\"15\" text-anchor=\"" + anchor + "\">" + t.label + "</text>";
    }
    out += "</svg>";
}
void append_grid(std::string &out, const std::vector<tick> &ticks, int height)
{
    for (const tick &t : ticks)
        out += "<line class=\"grid\" x1=\"" + percent(t.at) + "\" x2=\"" + percent(t.at) + "\" y1=\"0\" y2=\"" +
               std::to_string(height) + "\"/>";
}

// Per stage pair a histogram on a log scale of time, its bars on one count
// scale for all stages, so that a stage seen once looks it; p50 and p90
// marked.
void append_stages(std::string &out, report_state &state, const std::vector<stage_summary> &stages,
                   const std::vector<std::string> *stage_hosts)
{
    int64_t low = INT64_MAX, high = 1;
    for (const stage_summary &s : stages) {
        low = std::min(low, std::max<int64_t>(s.sorted.front(), 10));
        high = std::max(high, s.max);
    }
    double first = std::floor(std::log10(double(low)));
    double last = std::max(first + 1, std::ceil(std::log10(double(std::max<int64_t>(high, 10)))));
    auto at = [&](int64_t ns) {
        return std::clamp((std::log10(std::max(double(ns), 1.0)) - first) / (last - first), 0.0, 1.0);
    };
    std::vector<tick> ticks;
    for (double decade = first; decade <= last; decade++)
        ticks.push_back({(decade - first) / (last - first), decade_text(int(decade))});
    std::vector<std::vector<uint64_t>> bins;
    uint64_t most = 1;
    for (const stage_summary &s : stages) {
        bins.emplace_back(HISTOGRAM_BINS);
        for (int64_t ns : s.sorted)
            bins.back()[std::min<size_t>(HISTOGRAM_BINS - 1, size_t(at(ns) * HISTOGRAM_BINS))]++;
        most = std::max(most, *std::max_element(bins.back().begin(), bins.back().end()));
    }
    auto axis_row = [&](const char *label) {
        out += std::string("<div class=\"stage axis-row\"><span class=\"label\">") + label +
               "</span><span class=\"num\">latencies</span>";
        append_axis(out, ticks);
        out += "</div>\n";
    };
    out += "<div class=\"stages\">\n";
    axis_row("stage");
    constexpr int HEIGHT = 30, BAR_MAX = 20;
    for (size_t i = 0; i < stages.size(); i++) {
        const stage_summary &s = stages[i];
        std::string name = escaped(stage_text(state, s, stage_hosts));
        bool p90_told = s.count >= P90_COUNT_MIN;
        out += "<div class=\"stage\" title=\"" + name + ": " + std::to_string(s.count) + " latencies, p50 " +
               duration_text(double(s.p50)) + (p90_told ? ", p90 " + duration_text(double(s.p90)) : "") +
               (s.count >= P99_COUNT_MIN ? ", p99 " + duration_text(double(s.p99)) : "") + ", max " +
               duration_text(double(s.max)) + "\"><span class=\"label two-lines\">" + stage_html(state, s, stage_hosts) + "</span><span class=\"num\">" +
               std::to_string(s.count) + "</span><svg class=\"plot\" height=\"" + std::to_string(HEIGHT) + "\">";
        append_grid(out, ticks, HEIGHT);
        size_t peak = size_t(std::max_element(bins[i].begin(), bins[i].end()) - bins[i].begin());
        for (size_t b = 0; b < HISTOGRAM_BINS; b++) {
            uint64_t n = bins[i][b];
            if (!n)
                continue;
            double h = 2 + double(BAR_MAX - 2) * double(n) / double(most);
            double from = first + (last - first) * double(b) / HISTOGRAM_BINS;
            out += "<rect class=\"hist\" x=\"" + percent(double(b) / HISTOGRAM_BINS) + "\" y=\"" + num(HEIGHT - h) +
                   "\" width=\"" + percent(1.0 / HISTOGRAM_BINS) + "\" height=\"" + num(h) + "\"><title>" +
                   std::to_string(n) + (n == 1 ? " latency" : " latencies") + " from " +
                   duration_text(std::pow(10.0, from)) + " to " +
                   duration_text(std::pow(10.0, from + (last - first) / HISTOGRAM_BINS)) + "</title></rect>";
        }
        double centre = (double(peak) + 0.5) / HISTOGRAM_BINS;
        out += "<text class=\"peak\" x=\"" + percent(centre) + "\" y=\"" +
               num(HEIGHT - 4 - double(BAR_MAX - 2) * double(bins[i][peak]) / double(most)) + "\" text-anchor=\"" +
               (centre < 0.05 ? "start" : centre > 0.95 ? "end" : "middle") + "\">" + std::to_string(bins[i][peak]) +
               "</text>";
        out += "<line class=\"p50\" x1=\"" + percent(at(s.p50)) + "\" x2=\"" + percent(at(s.p50)) + "\" y1=\"4\" y2=\"" +
               std::to_string(HEIGHT) + "\"><title>p50 " + duration_text(double(s.p50)) + "</title></line>";
        if (p90_told)
            out += "<line class=\"p90\" x1=\"" + percent(at(s.p90)) + "\" x2=\"" + percent(at(s.p90)) +
                   "\" y1=\"4\" y2=\"" + std::to_string(HEIGHT) + "\"><title>p90 " + duration_text(double(s.p90)) +
                   "</title></line>";
        out += "</svg></div>\n";
    }
    axis_row("");
    out += "</div>\n";
}

// Journey starts over the whole trace: every journey counts, drawn or not.
void append_density(std::string &out, const std::vector<const journey *> &journeys)
{
    constexpr int BINS = 190, HEIGHT = 40;
    int64_t first = INT64_MAX, last = INT64_MIN;
    for (const journey *j : journeys)
        first = std::min(first, j->start()), last = std::max(last, j->start());
    double span = std::max(1.0, span_ns(first, last));
    std::vector<uint64_t> bins(BINS);
    for (const journey *j : journeys)
        bins[std::min<size_t>(BINS - 1, size_t(span_ns(first, j->start()) / span * (BINS - 1)))]++;
    uint64_t most = *std::max_element(bins.begin(), bins.end());
    out += "<div class=\"strip\"><span class=\"label two-lines\">journeys started, over " + duration_text(span_ns(first, last)) +
           "</span><svg class=\"plot\" height=\"" + std::to_string(HEIGHT) + "\">";
    for (int b = 0; b < BINS; b++) {
        if (!bins[size_t(b)])
            continue;
        double h = 2 + double(HEIGHT - 2) * double(bins[size_t(b)]) / double(most);
        out += "<rect class=\"hist\" x=\"" + percent(double(b) / BINS) + "\" y=\"" + num(HEIGHT - h) + "\" width=\"" +
               percent(1.0 / BINS) + "\" height=\"" + num(h) + "\"><title>" + std::to_string(bins[size_t(b)]) +
               " journeys</title></rect>";
    }
    out += "</svg></div>\n";
}

// Journeys alike folded into one lane each, in the order of their first.
std::vector<lane> folded(report_state &state, const std::vector<std::string> &hosts, const std::vector<lane> &each)
{
    std::unordered_map<std::string, size_t> lane_of;
    std::vector<lane> lanes;
    for (const lane &l : each) {
        const journey &j = *l.drawn;
        std::string key = flow_text(state.names, state.sources[j.source].protocol, j.rows.front()) + '\n' +
                          ending_sentence(state.names, hosts, j.end) + '\n';
        key.append(reinterpret_cast<const char *>(j.steps.data()), j.steps.size() * sizeof(j.steps[0]));
        auto [at, added] = lane_of.try_emplace(std::move(key), lanes.size());
        if (added) {
            lanes.push_back(l);
            continue;
        }
        lane &alike = lanes[at->second];
        alike.count += l.count;
        if (l.duration > alike.duration)
            alike = {l.drawn, l.joined, l.duration, alike.count};
    }
    return lanes;
}

// The lanes drawn: every lane when they are few; else an even sample in
// start order, and whatever the sample the slowest and the slowest of each
// ending, so that an ending seen once still has its lane.
struct lane_choice {
    std::vector<const lane *> shown; // in start order
    std::vector<bool> slowest;       // by shown lane: among the slowest
    size_t slowest_count = 0;
    size_t step = 1;                 // the sample's: every step-th lane
    size_t endings = 0, endings_drawn = 0;
};

lane_choice choose_lanes(const std::vector<lane> &lanes)
{
    size_t n = lanes.size();
    if (!n)
        return {};
    std::vector<size_t> by_time(n);
    for (size_t i = 0; i < n; i++)
        by_time[i] = i;
    auto slower = [&](size_t a, size_t b) {
        return std::make_pair(-lanes[a].duration, a) < std::make_pair(-lanes[b].duration, b);
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
        auto [at, added] = endings.try_emplace(as_told(lanes[i].drawn->end), i, 0);
        at->second.second += lanes[i].count;
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
            choice.shown.push_back(&lanes[i]);
            choice.slowest.push_back(picked[i] == 2);
        }
    return choice;
}

// What the lanes of a sample leave out, said above them.
std::string sample_note(size_t journeys, size_t lanes, const lane_choice &choice)
{
    if (choice.step == 1)
        return "";
    return "<p class=\"note\">" + std::to_string(journeys) + " journeys" +
           (lanes < journeys ? ", alike ones folded into " + std::to_string(lanes) + " lanes," : "") +
           " are too many to draw one lane each: the lanes below show " + std::to_string(choice.shown.size()) +
           " of them, every " + std::to_string(choice.step) + "th in start order, the " +
           std::to_string(choice.slowest_count) + " slowest and the slowest of each of " +
           (choice.endings_drawn < choice.endings ? "the " + std::to_string(choice.endings_drawn) + " rarest of " : "") +
           "the " + std::to_string(choice.endings) + " endings. The charts above and the strip count all.</p>\n";
}

// The lanes' time axis, the time since a journey's first row on a log
// scale: x = log(1 + t / unit) / log(1 + longest / unit), so a journey's
// last mark lies the further right the longer it took, the longest at the
// right edge, and microsecond stages still stand apart near the start. The
// unit is the lanes' median step: below it the scale is near even, above it
// logarithmic.
struct time_axis {
    double unit, span;
    double at(int64_t ns) const { return span > 0 ? std::log10(1 + double(ns) / unit) / span : 0; }
};
time_axis axis_of(const std::vector<const lane *> &lanes)
{
    std::vector<int64_t> steps;
    int64_t longest = 1;
    for (const lane *l : lanes) {
        longest = std::max(longest, l->duration);
        for (size_t i = 1; i < l->drawn->rows.size(); i++)
            if (int64_t gap = elapsed_ns(l->drawn->rows[i - 1].time, l->drawn->rows[i].time); gap > 0)
                steps.push_back(gap);
    }
    double unit = 1000;
    if (!steps.empty()) {
        std::nth_element(steps.begin(), steps.begin() + long(steps.size() / 2), steps.end());
        unit = double(steps[steps.size() / 2]);
    }
    return {unit, std::log10(1 + double(longest) / unit)};
}
std::vector<tick> ticks_of(const time_axis &axis, int64_t longest)
{
    std::vector<tick> ticks{{0, "0"}};
    for (int power = int(std::ceil(std::log10(axis.unit))); power < 19 && std::pow(10.0, power) <= double(longest);
         power++)
        ticks.push_back({axis.at(int64_t(std::pow(10.0, power))), decade_text(power)});
    return ticks;
}

// A lane: its flow, its journey to scale (each row a mark; a packet of two
// hosts on the sender's band, the wire dashed, then the receiver's band),
// its total time and its ending.
void append_lane(std::string &out, report_state &state, const std::vector<std::string> &hosts,
                 page_colours &colours, const lane &l, bool slowest, const time_axis &axis,
                 const std::vector<tick> &ticks)
{
    constexpr int HEIGHT = 14, MIDDLE = HEIGHT / 2;
    const journey &j = *l.drawn;
    uint32_t protocol = state.sources[j.source].protocol;
    std::string flow = flow_text(state.names, protocol, j.rows.front());
    std::string ending = ending_sentence(state.names, hosts, j.end);
    std::string times = l.count > 1 ? "&#xd7;" + std::to_string(l.count) : "";
    std::string about = l.count > 1 ? std::to_string(l.count) + " journeys of this flow, path and ending; the slowest "
                                                                 "drawn, which"
                                    : "the journey";
    about += " starts at " + std::to_string(j.start());
    if (l.joined)
        about += ", from " + shown_text(hosts[l.joined->from]) + " to " + shown_text(hosts[l.joined->to]) +
                 ", the wire " + duration_text(double(l.joined->wire_ns)) + " &#xb1; " +
                 duration_text(double(l.joined->wire_error_ns));
    out += "<div class=\"lane" + std::string(j.end.is_drop() ? " dropped" : "") + (slowest ? " slowest" : "") +
           "\"><span class=\"flow\" title=\"" + times + (times.empty() ? "" : " ") + escaped(flow) + ": " + about +
           "\">" + (times.empty() ? "" : "<b class=\"times\">" + times + "</b> ") + escaped(flow) +
           "</span><svg class=\"plot\" height=\"" + std::to_string(HEIGHT) + "\">";
    append_grid(out, ticks, HEIGHT);
    auto x_of = [&](int64_t time) { return percent(axis.at(elapsed_ns(j.start(), time))); };
    std::string y = std::to_string(MIDDLE);
    size_t sent = l.joined ? l.joined->sent->rows.size() : j.rows.size();
    if (l.joined) {
        const std::pair<size_t, size_t> parts[] = {{0, sent - 1}, {sent, j.rows.size() - 1}};
        for (int part = 0; part < 2; part++)
            out += std::string("<line class=\"band ") + (part ? "receiver" : "sender") + "\" x1=\"" +
                   x_of(j.rows[parts[part].first].time) + "\" x2=\"" + x_of(j.rows[parts[part].second].time) +
                   "\" y1=\"" + y + "\" y2=\"" + y + "\"><title>" +
                   escaped(shown_text(hosts[part ? l.joined->to : l.joined->from])) + "</title></line>";
        out += "<line class=\"wire\" x1=\"" + x_of(j.rows[sent - 1].time) + "\" x2=\"" + x_of(j.rows[sent].time) +
               "\" y1=\"" + y + "\" y2=\"" + y + "\"><title>the wire " + duration_text(double(l.joined->wire_ns)) +
               " &#xb1; " + duration_text(double(l.joined->wire_error_ns)) + "</title></line>";
    } else
        out += "<line class=\"path\" x1=\"" + x_of(j.start()) + "\" x2=\"" + x_of(j.rows.back().time) + "\" y1=\"" + y +
               "\" y2=\"" + y + "\"/>";
    for (size_t r = 0; r < j.rows.size(); r++) {
        // A joined journey's rows in the sender's clock; their titles as their hosts wrote them.
        const trace_row &row = !l.joined ? j.rows[r] : r < sent ? l.joined->sent->rows[r]
                                                                : l.joined->received->rows[r - sent];
        const mark_style &style = colours.functions.at(row.function);
        out += "<circle class=\"mark\" cx=\"" + x_of(j.rows[r].time) + "\" cy=\"" + y + "\" r=\"4\" fill=\"" +
               style.fill + "\" stroke=\"" + style.stroke + "\"><title>" +
               (l.joined ? escaped(shown_text(hosts[r < sent ? l.joined->from : l.joined->to])) + ": " : "") +
               row_title(state, protocol, row) + "</title></circle>";
    }
    // Where NAT rewrote the addresses: a bar before the first row that shows the new ones.
    for (const rewrite &r : l.joined ? std::vector<rewrite>() : j.rewrites)
        out += "<line class=\"rewrite\" x1=\"" + x_of(j.rows[r.row].time) + "\" x2=\"" + x_of(j.rows[r.row].time) +
               "\" y1=\"1\" y2=\"" + std::to_string(HEIGHT - 1) + "\"><title>" +
               escaped(rewrite_text(state.names, protocol, r) + " at " + shown_name(state, j.rows[r.row].function)) +
               "</title></line>";
    out += "</svg><span class=\"total\">" + duration_text(double(l.duration)) + "</span><span class=\"end\" title=\"" +
           escaped(ending) + "\">" + ending_swatch(colours, state, j.end) + escaped(ending) + "</span></div>\n";
}

void append_lanes(std::string &out, report_state &state, const std::vector<std::string> &hosts,
                  page_colours &colours, const lane_choice &choice, const char *id)
{
    time_axis axis = axis_of(choice.shown);
    int64_t longest = 1;
    for (const lane *l : choice.shown)
        longest = std::max(longest, l->duration);
    std::vector<tick> ticks = ticks_of(axis, longest);
    auto axis_row = [&] {
        out += "<div class=\"axis-row\"><span></span>";
        append_axis(out, ticks);
        out += "<span></span><span></span></div>\n";
    };
    out += std::string("<div class=\"lanes\" id=\"") + id + "\">\n";
    axis_row();
    for (size_t i = 0; i < choice.shown.size(); i++)
        append_lane(out, state, hosts, colours, *choice.shown[i], choice.slowest[i], axis, ticks);
    axis_row();
    out += "</div>\n";
}

// The functions of the lanes, in path order.
std::vector<uint32_t> functions_of(report_state &state, const std::vector<const lane *> &shown)
{
    std::vector<uint32_t> functions;
    auto add = [&](const journey &j) {
        for (const trace_row &row : j.rows)
            if (std::find(functions.begin(), functions.end(), row.function) == functions.end())
                functions.push_back(row.function);
    };
    for (const lane *l : shown)
        add(l->joined ? *l->joined->sent : *l->drawn), add(l->joined ? *l->joined->received : *l->drawn);
    std::sort(functions.begin(), functions.end(), [&](uint32_t a, uint32_t b) {
        return std::make_pair(place_of(state, a).rank, state.names.text(a)) <
               std::make_pair(place_of(state, b).rank, state.names.text(b));
    });
    return functions;
}

void append_legend(std::string &out, report_state &state, const std::vector<uint32_t> &functions,
                   const page_colours &colours, bool rewrites)
{
    out += "<p class=\"legend\">";
    for (uint32_t f : functions) {
        const mark_style &style = colours.functions.at(f);
        function_place place = place_of(state, f);
        std::string role = place.walk_entry    ? " (table walk)"
                           : place.walk_return ? " (walk's return)"
                           : place.drop        ? " (drop)"
                                               : "";
        out += "<span><i style=\"background:" + style.fill + ";border-color:" + style.stroke + "\"></i>" +
               escaped(shown_name(state, f)) + role + "</span> ";
    }
    if (rewrites)
        out += "<span><i class=\"rewrite-key\" style=\"background:" + std::string(REWRITE_MARK) + ";border-color:" +
               REWRITE_MARK + "\"></i>NAT rewrite (hover the bar for the addresses)</span>";
    out += "</p>\n";
}

std::string html_page(report_state &state, const std::vector<std::string> &hosts,
                      const std::vector<const journey *> &journeys, const report_totals &totals,
                      const std::vector<const joined_journey *> &joined, const host_join *join)
{
    std::string out = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vn_bpf_net_report: packet journeys</title>
<style>
body { font: 13px/1.4 system-ui, sans-serif; margin: 16px 24px; background: #fff;
  max-width: 1600px; overflow-wrap: break-word; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 16px; margin: 26px 0 6px; }
h3 { font-size: 14px; margin: 14px 0 6px; }
.note { color: #555; margin: 4px 0 8px; }
.mono, .flow, .total, .num, svg text { font-family: ui-monospace, monospace; }
svg text { font-size: 10px; fill: #555; }
.label, .flow, .end { white-space: nowrap; overflow: hidden; text-overflow: ellipsis; min-width: 0; }
.two-lines { white-space: normal; display: -webkit-box; -webkit-box-orient: vertical; -webkit-line-clamp: 2;
  overflow-wrap: break-word; line-height: 1.2; }
.num { text-align: right; white-space: nowrap; }
.classes { margin: 10px 0 6px; }
.classes .class { display: inline-block; margin: 0 10px 6px 0; padding: 4px 14px; border: 1px solid #ddd;
  border-radius: 6px; font-size: 15px; }
.classes .count { font-size: 24px; font-weight: bold; margin-right: 2px; }
.classes .share { color: #555; font-size: 13px; }
.shares { display: flex; height: 10px; border-radius: 3px; overflow: hidden; background: #eee; }
.shares .segment { height: 100%; }
.ending, .stage, .lane, .axis-row, .strip { display: grid; column-gap: 10px; align-items: center; }
.endings { display: grid; row-gap: 4px; }
.ending { grid-template-columns: minmax(0, 5fr) 4em minmax(0, 8fr); min-height: 20px; }
.ending .track { height: 16px; } .ending .bar { display: block; height: 100%; min-width: 2px; }
.stage { grid-template-columns: minmax(0, 5fr) 4.5em minmax(0, 9fr); height: 32px; }
.stage .label { font-size: 11.5px; }
.lane, .lanes .axis-row, .strip { grid-template-columns: minmax(0, 3.3fr) minmax(0, 6fr) 5.5em minmax(0, 3.3fr); }
.lane { height: 16px; font-size: 11px; } .lane .flow { font-size: 10px; }
@media (max-width: 1000px) {
  .lane, .lanes .axis-row, .strip { grid-template-columns: minmax(0, 5fr) minmax(0, 5fr) 5em minmax(0, 3fr); }
}
.lane .total { text-align: right; }
.lane:nth-child(even) { background: #f8f9fa; } .lane:hover { background: #e9ecef; }
.lane.slowest .total, .lane.slowest .end { font-weight: bold; }
.axis-row { height: 20px; } .stage.axis-row { height: 20px; }
.stage.axis-row .label, .stage.axis-row .num { color: #555; font-size: 11px; }
.plot, .axis { width: calc(100% - 12px); margin: 0 6px; display: block; }
.plot { overflow: visible; }
.strip { height: 44px; margin-bottom: 12px; } .strip .label { text-align: right; font-size: 11px; }
.grid { stroke: #e3e3e3; } .tick { stroke: #999; }
.peak { font-size: 9px; }
.p50 { stroke: #111; stroke-width: 2; } .p90 { stroke: #111; stroke-width: 1.5; stroke-dasharray: 3 2; }
.path { stroke: #999; stroke-width: 1.5; } .lane:hover .path { stroke: #000; stroke-width: 2.5; }
.mark:hover { stroke: #000; stroke-width: 2; }
.band { stroke-width: 12; stroke-linecap: round; opacity: 0.3; }
)" + std::string(".band.sender { stroke: ") + SENDER_BAND + "; } .band.receiver { stroke: " + RECEIVER_BAND +
                      "; }\n.rewrite { stroke: " + REWRITE_MARK + "; }\n.hist { fill: " + COUNT_BAR + "; }\nbody, .times { color: " + TEXT + "; }\n" + R"(
.wire { stroke: #555; stroke-width: 1.5; stroke-dasharray: 4 3; }
.rewrite { stroke-width: 3; } .rewrite:hover { stroke-width: 5; }
.legend span { margin-right: 12px; white-space: nowrap; display: inline-block; }
.legend i, .swatch { display: inline-block; width: 8px; height: 8px; border: 2px solid; border-radius: 6px;
  margin-right: 4px; vertical-align: -1px; }
.swatch { border: 0; width: 10px; height: 10px; border-radius: 2px; margin-right: 5px; }
.legend i.band-key { border-radius: 3px; width: 16px; opacity: 0.6; }
.legend i.rewrite-key { border-radius: 0; border-width: 0; width: 3px; height: 12px; }
.arrow { white-space: nowrap; }
table.list { border-collapse: collapse; width: 100%; table-layout: fixed; }
.list th { text-align: left; font-weight: normal; color: #555; border-bottom: 1px solid #ccc; padding: 2px 6px; }
.list td { padding: 2px 6px; border-bottom: 1px solid #eee; vertical-align: top; }
.list .mono { font-size: 12px; } .list th.time { width: 5.5em; } .list th.count { width: 6.5em; }
</style></head><body>
<h1>Packet journeys</h1>
)";
    // Each file with what its traces hold: "ipv6.trace (icmp6, tcp, udp; IPv6)".
    struct file_held {
        std::string name;
        std::vector<std::string> protocols, families;
    };
    std::vector<file_held> held;
    auto add = [](std::vector<std::string> &list, std::string word) {
        if (std::find(list.begin(), list.end(), word) == list.end())
            list.push_back(std::move(word));
    };
    for (const trace_source &source : state.sources) {
        std::string name = shown_text(source.name, true);
        auto at = std::find_if(held.begin(), held.end(), [&](const file_held &f) { return f.name == name; });
        if (at == held.end())
            at = held.insert(held.end(), {name, {}, {}});
        if (const trace_layout::protocol_layout_t *layout = trace_layout::protocol_layout(source.protocol)) {
            add(at->protocols, layout->name);
            add(at->families, source.ipv6 ? "IPv6" : "IPv4");
        }
    }
    std::string files;
    for (const file_held &f : held) {
        files += (files.empty() ? "" : ", ") + f.name;
        for (size_t i = 0; i < f.protocols.size(); i++)
            files += (i ? ", " : " (") + f.protocols[i];
        for (size_t i = 0; i < f.families.size(); i++)
            files += (i ? ", " : "; ") + f.families[i];
        files += f.protocols.empty() ? "" : ")";
    }
    out += "<p class=\"note\">" + escaped(files) + ": " + std::to_string(totals.journeys) + " journeys, " +
           std::to_string(totals.rows) + " rows; frames with repeated fields: " +
           std::to_string(totals.repeated_frames) + "; unreadable rows: " + std::to_string(state.unreadable_rows) +
           ".</p>\n";
    if (journeys.empty() && joined.empty())
        return out + "<p>No journeys.</p></body></html>\n";

    page_colours colours;
    std::vector<ending_count> endings = endings_by_count(state, hosts, totals);
    append_classes(out, colours, state, endings, totals);
    out += "<h2>Endings</h2>\n<p class=\"note\">Journeys by how they ended: delivered green, not seen to the end "
           "grey, each cause of a drop its own colour (a table's drop red).</p>\n";
    append_endings(out, colours, state, endings);

    std::vector<lane> each;
    for (const joined_journey *jj : joined)
        each.push_back({&jj->whole, jj, joined_duration(*jj), 1});
    for (const journey *j : journeys)
        each.push_back({j, nullptr, j->duration_ns(), 1});
    // Each host's stages apart: their latencies are of different machines.
    bool many_hosts = join && join->hosts.size() > 1;
    const std::vector<std::string> *stage_hosts = many_hosts ? &join->hosts : nullptr;
    std::vector<stage_summary> stages =
        summarize_stages(state, totals.stages, true, many_hosts ? &join->host_of_source : nullptr);
    out += "<h2>Slowest</h2>\n";
    append_slowest_journeys(out, state, hosts, colours, each);
    if (!stages.empty())
        append_slowest_stages(out, state, stages, stage_hosts);
    if (!stages.empty()) {
        out += "<h2>Stage latencies</h2>\n<p class=\"note\">Per pair of consecutive functions: how often each "
               "latency occurred, on a log scale of time; bars on one count scale for all stages, the tallest of "
               "each labelled with its count; solid line p50, dashed p90 (from " +
               std::to_string(P90_COUNT_MIN) + " latencies on). Hover a bar for its count.</p>\n";
        append_stages(out, state, stages, stage_hosts);
    }

    auto parts_end = each.begin() + long(joined.size());
    std::vector<lane> joined_lanes = folded(state, hosts, std::vector<lane>(each.begin(), parts_end));
    std::vector<lane> lanes = folded(state, hosts, std::vector<lane>(parts_end, each.end()));
    lane_choice joined_choice = choose_lanes(joined_lanes), choice = choose_lanes(lanes);
    std::vector<const lane *> shown = joined_choice.shown;
    shown.insert(shown.end(), choice.shown.begin(), choice.shown.end());
    std::vector<uint32_t> functions = functions_of(state, shown);
    take_function_colours(colours, state, functions);
    out += "<h2>Timeline</h2>\n<p class=\"note\">A lane per journey: its flow, each row a mark at the time since "
           "its first row, its total time and its ending. Time runs on a log scale, so that stages of microseconds "
           "and journeys of milliseconds both show: a lane ends the further right the longer its journey took. "
           "Journeys alike (the same flow, path and ending) share a lane, &#xd7;N, the slowest drawn; the slowest "
           "lanes in bold. Hover a mark for its row.</p>\n";
    bool rewrites = std::any_of(shown.begin(), shown.end(),
                                [](const lane *l) { return !l->joined && !l->drawn->rewrites.empty(); });
    append_legend(out, state, functions, colours, rewrites);
    if (join && !joined.empty()) {
        out += "<h3>Across hosts</h3>\n<p class=\"note\">";
        for (const host_clock &c : join->clocks) {
            uint64_t size = c.offset_ns < 0 ? 0 - uint64_t(c.offset_ns) : uint64_t(c.offset_ns);
            out += escaped(shown_text(join->hosts[c.b])) + "'s clock = " + escaped(shown_text(join->hosts[c.a])) +
                   "'s " + (c.offset_ns < 0 ? "- " : "+ ") + std::to_string(size) + " ns &plusmn; " +
                   std::to_string(c.error_ns) + " ns (" +
                   std::to_string(c.matched) + " packets seen on both). ";
        }
        out += "All in the sender's clock.</p>\n<p class=\"legend\"><span><i class=\"band-key\" "
               "style=\"background:" + std::string(SENDER_BAND) + ";border-color:" + SENDER_BAND +
               "\"></i>the sender's rows</span> <span><i class=\"band-key\" style=\"background:" + RECEIVER_BAND +
               ";border-color:" + RECEIVER_BAND + "\"></i>the receiver's rows</span> <span>- - - the wire</span></p>\n";
        out += sample_note(joined.size(), joined_lanes.size(), joined_choice);
        append_lanes(out, state, hosts, colours, joined_choice, "joined");
    }
    if (journeys.empty())
        return out + "</body></html>\n";
    if (join && !joined.empty())
        out += "<h3>Seen on one host</h3>\n";
    append_density(out, journeys);
    out += sample_note(journeys.size(), lanes.size(), choice);
    append_lanes(out, state, hosts, colours, choice, "timeline");
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
