// The text report (aligned columns, the path last because its length
// varies) and the detail report (a journey hop by hop). On a terminal every
// line fits its width; into a file or a pipe lines stay whole.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// A cut text ends in CUT_MARK: ASCII, as the rest of the report.
constexpr std::string_view CUT_MARK = "...";
// A terminal that does not say its width.
constexpr size_t TERMINAL_WIDTH_UNKNOWN = 80;

// The width lines are fitted to when standard output is a terminal:
// $COLUMNS when it is a number, else the terminal's own. 0, lines whole,
// into a file or a pipe: grep and awk want every step, whatever width the
// shell exported.
size_t terminal_width()
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
        return columns ? columns : TERMINAL_WIDTH_UNKNOWN;
    }();
    return width;
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

std::string number_text(uint64_t value)
{
    char digits[24];
    return std::string(digits, size_t(std::to_chars(digits, digits + sizeof(digits), value).ptr - digits));
}

// A column of a table: its width, the blanks before it, and whether it is a
// number (aligned to the right, never cut: a longer one pushes the line).
struct table_column {
    size_t width = 0, gap = 1;
    bool number = false, shown = true;
};

// A number may carry a mark ("*": the first journey of its flow), which
// hangs to its right in the blanks before the next column, so that the
// digits of a column stay aligned; its width is its digits'.
constexpr char NUMBER_MARK = '*';
size_t number_width(std::string_view text)
{
    return text.size() - (!text.empty() && text.back() == NUMBER_MARK);
}

// One line of a table: each shown column's text after its blanks, padded to
// its width and (cut, on a terminal) cut to it. The line ends at its last
// text, never in blanks.
// `texts`: an array of anything a string_view is made of, a text per column.
template <typename Texts> void put_row(std::string &out, const table_column *columns, const Texts &texts, bool cut)
{
    size_t end = 0; // past the last shown column with a text
    for (size_t c = 0; c < std::size(texts); c++)
        if (columns[c].shown && !std::string_view(texts[c]).empty())
            end = c + 1;
    bool first = true;
    size_t hung = 0; // a mark's column taken from the next blanks
    std::string cut_text;
    for (size_t c = 0; c < end; c++) {
        const table_column &column = columns[c];
        if (!column.shown)
            continue;
        out.append(first ? 0 : column.gap - std::min(hung, column.gap), ' ');
        first = false;
        hung = 0;
        std::string_view text(texts[c]);
        if (cut && !column.number && text.size() > column.width) {
            cut_text.assign(text);
            cut_to(cut_text, column.width);
            text = cut_text;
        }
        if (column.number) {
            size_t digits = number_width(text);
            pad_left(out, text.substr(0, digits), column.width);
            out += text.substr(digits);
            hung = text.size() - digits;
        } else
            pad_right(out, text, c + 1 == end ? 0 : column.width);
    }
    out += '\n';
}

// The columns of a journey line, in line order, and their labels.
enum line_column { START, PROTOCOL, FLOW, ROWS, TOTAL, CLASS, ENDING, PATH, LINE_COLUMNS };
constexpr const char *LINE_LABELS[LINE_COLUMNS] = {"START_NS", "PROTO",  "FLOW",   "ROWS",
                                                   "TOTAL_US", "CLASS", "ENDING", "PATH"};
using line_layout = std::array<table_column, LINE_COLUMNS>;

// Into a file or a pipe a journey line keeps these columns whatever its
// texts (a longer one pushes the rest), as grep and awk have read them.
constexpr line_layout WHOLE_LINES = {{{20, 0, false, true},
                                      {5, 1, false, true},
                                      {58, 1, false, true},
                                      {5, 1, true, true},
                                      {10, 1, true, true},
                                      {9, 2, false, true},
                                      {45, 2, false, true},
                                      {0, 1, false, true}}};

// A journey's texts, one per column.
using line_texts = std::array<std::string, LINE_COLUMNS>;

// On a terminal the columns are sized from the first LAYOUT_LINES journeys
// (held back until then): each as wide as its longest text, the ending at
// most ENDING_WIDTH_MAX or a third of a wider terminal. As the width
// shrinks they give way in the order a reader needs them least: PROTO and
// START_NS first, then the path (it takes what is left, PATH_WIDTH_MIN at
// least), the rows, the total time (both stay beside a flow cut to
// FLOW_WIDTH_BESIDE_NUMBERS or more) and the flow (cut while FLOW_WIDTH_MIN
// of it is left); the class and the ending last, the ending cut only to
// what is left beside the class.
constexpr size_t LAYOUT_LINES = 1024, ENDING_WIDTH_MAX = 80, ENDING_WIDTH_MIN = 12, FLOW_WIDTH_MIN = 20,
                 FLOW_WIDTH_BESIDE_NUMBERS = 40, PATH_WIDTH_MIN = 12;

size_t line_length(const line_layout &layout)
{
    size_t length = 0;
    bool first = true;
    for (const table_column &column : layout)
        if (column.shown) {
            length += (first ? 0 : column.gap) + column.width;
            first = false;
        }
    return length;
}

// The room `column` would have in a line of `width`, the others as they are.
size_t room_for(line_layout layout, line_column column, size_t width)
{
    layout[column].shown = true;
    layout[column].width = 0;
    size_t length = line_length(layout);
    return length < width ? width - length : 0;
}

// Shows `column` at `size` when the line still fits `width`.
bool show_if_room(line_layout &layout, line_column column, size_t size, size_t width)
{
    if (room_for(layout, column, width) < size)
        return false;
    layout[column].shown = true;
    layout[column].width = size;
    return true;
}

// The columns of journey lines fitted to `width`, given what their texts
// need (`natural`, the labels' widths at least); blanks and alignment as
// in whole lines.
line_layout fit_line(const size_t (&natural)[LINE_COLUMNS], size_t width)
{
    line_layout layout = WHOLE_LINES;
    for (table_column &column : layout)
        column.shown = false, column.width = 0;
    show_if_room(layout, CLASS, natural[CLASS], width);
    if (room_for(layout, ENDING, width) < std::min(natural[ENDING], ENDING_WIDTH_MIN))
        layout[CLASS].shown = false; // too narrow for both: the ending alone
    size_t ending_max = std::max(ENDING_WIDTH_MAX, width / 3);
    show_if_room(layout, ENDING, std::min({natural[ENDING], ending_max, room_for(layout, ENDING, width)}), width);
    if (!show_if_room(layout, FLOW, natural[FLOW], width)) {
        size_t room = room_for(layout, FLOW, width);
        line_layout numbers = layout;
        // The total time and the rows beside a flow cut where it keeps its addresses and ports.
        if (show_if_room(numbers, TOTAL, natural[TOTAL], width) && show_if_room(numbers, ROWS, natural[ROWS], width) &&
            room_for(numbers, FLOW, width) >= FLOW_WIDTH_BESIDE_NUMBERS)
            layout = numbers, room = room_for(numbers, FLOW, width);
        if (room >= FLOW_WIDTH_MIN) {
            show_if_room(layout, FLOW, room, width);
            return layout; // no room is left
        }
    }
    show_if_room(layout, TOTAL, natural[TOTAL], width);
    show_if_room(layout, ROWS, natural[ROWS], width);
    size_t path_min = std::min(natural[PATH], PATH_WIDTH_MIN);
    for (line_column column : {START, PROTOCOL}) {
        line_layout with = layout;
        if (show_if_room(with, column, natural[column], width) && show_if_room(with, PATH, path_min, width))
            show_if_room(layout, column, natural[column], width);
    }
    size_t room = room_for(layout, PATH, width);
    if (room >= path_min && room > 0)
        show_if_room(layout, PATH, std::min(room, natural[PATH]), width);
    return layout;
}

// What the text and the detail reports share: texts as shown, the path,
// the endings, the clocks and the summary.
struct text_renderer {
    std::string &out;
    report_state &state;
    const std::vector<std::string> &hosts;
    size_t width = terminal_width();       // 0: lines whole
    rendered_names shown;                  // by name id
    std::vector<std::string> shown_steps;  // by step id
    std::vector<std::string> ended_at;     // by function id: "ended at F", once made
    std::string scratch;
    // Journey lines on a terminal: held until their columns are settled.
    bool header_wanted = false, settled = false;
    std::vector<line_texts> held;
    line_layout layout = WHOLE_LINES;
    line_texts texts;
    // Several hosts: starts on the first host's clock, stages per host.
    const host_join *join = nullptr;
    bool first_marked = false; // a total marked as the first journey of its flow

    text_renderer(std::string &out_, report_state &state_, const std::vector<std::string> &hosts_)
        : out(out_), state(state_), hosts(hosts_)
    {
    }

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
    // On a terminal, every line from `from` on cut to the width.
    void fit_lines(size_t from)
    {
        if (!width)
            return;
        std::string fitted;
        for (size_t at = from; at < out.size();) {
            size_t end = std::min(out.find('\n', at), out.size());
            std::string line = out.substr(at, end - at);
            cut_to(line, width);
            fitted += line;
            fitted += end < out.size() ? "\n" : "";
            at = end + 1;
        }
        out.replace(from, std::string::npos, fitted);
    }

    void header();
    void line(const journey &j, const joined_journey *jj);
    void put_line(const line_texts &line);
    void settle();
    void detail(const journey &j, const joined_journey *jj);
    void clocks(const host_join &join);
    void summary(const report_totals &totals);
    void first_note(bool stage_marked);
    void endings(const report_totals &totals);
    void stages(const report_totals &totals);
};

// Into a file or a pipe the header is written at once; on a terminal with
// the first lines, once their columns are settled.
void text_renderer::header()
{
    if (width) {
        header_wanted = true;
        return;
    }
    put_row(out, layout.data(), LINE_LABELS, false);
}

void text_renderer::line(const journey &j, const joined_journey *jj)
{
    uint32_t protocol = state.sources[j.source].protocol;
    texts[START] = std::to_string(join ? ordered_start(*join, j) : j.start());
    texts[PROTOCOL] = trace_layout::protocol_layout(protocol)->name;
    texts[FLOW] = flow_text(state.names, protocol, j.rows.front());
    texts[ROWS] = number_text(j.rows.size());
    texts[TOTAL] = micros_text(j.duration_ns());
    if (j.first_of_flow)
        texts[TOTAL] += '*', first_marked = true;
    texts[CLASS] = j.end.known() ? class_label(j.end.what()) : "";
    texts[ENDING] = sentence(j.end);
    std::string &path = texts[PATH];
    path.clear();
    // On a terminal no more than the width can show.
    size_t rewritten = 0;
    for (size_t i = 0; i < j.steps.size() && (!width || path.size() <= width); i++) {
        path += i ? " " : "";
        // A rewrite where its new addresses first show.
        for (; rewritten < j.rewrites.size() && j.rewrites[rewritten].row == i; rewritten++)
            path += rewrite_text(state.names, protocol, j.rewrites[rewritten]) + " ";
        path += path_step(j, i, jj);
    }
    if (width && !settled) {
        held.push_back(texts);
        if (held.size() >= LAYOUT_LINES)
            settle();
        return;
    }
    put_line(texts);
}

void text_renderer::put_line(const line_texts &line)
{
    size_t begin = out.size();
    put_row(out, layout.data(), line, width != 0);
    if (width)
        fit_lines(begin); // a number longer than its column
}

// On a terminal: the columns sized from the lines held, then the header and
// those lines.
void text_renderer::settle()
{
    if (!width || settled)
        return;
    settled = true;
    size_t natural[LINE_COLUMNS];
    for (size_t c = 0; c < LINE_COLUMNS; c++) {
        natural[c] = std::string_view(LINE_LABELS[c]).size();
        for (const line_texts &line : held)
            natural[c] = std::max(natural[c], c == TOTAL ? number_width(line[c]) : line[c].size());
    }
    natural[PATH] = std::min(natural[PATH], width);
    layout = fit_line(natural, width);
    if (header_wanted)
        put_row(out, layout.data(), LINE_LABELS, true);
    for (const line_texts &line : held)
        put_line(line);
    held.clear();
    held.shrink_to_fit();
}

// The detail's columns: into a file or a pipe these widths (STEP as wide as
// the journey's longest step); on a terminal each as wide as its texts, the
// step cut to what the width leaves it (STEP_WIDTH_MIN at least) and INFO
// to the rest, shown where that is INFO_WIDTH_MIN at least.
enum detail_column { SINCE_HOP, SINCE_START, CPU, STEP, DEVICE, INFO, DETAIL_COLUMNS };
constexpr const char *DETAIL_LABELS[DETAIL_COLUMNS] = {"+US", "AT_US", "CPU", "STEP", "DEVICE", "INFO"};
constexpr std::array<table_column, DETAIL_COLUMNS> DETAIL_WHOLE = {
    {{10, 0, true, true}, {10, 1, true, true}, {5, 2, false, true}, {0, 1, false, true}, {16, 1, false, true},
     {0, 1, false, true}}};
constexpr size_t STEP_WIDTH_MIN = 12, INFO_WIDTH_MIN = 8;

void text_renderer::detail(const journey &j, const joined_journey *jj)
{
    size_t begin = out.size();
    uint32_t protocol = state.sources[j.source].protocol;
    if (jj)
        out += shown_text(hosts[jj->from]) + " -> " + shown_text(hosts[jj->to]) + ", wire " +
               micros_text(jj->wire_ns) + " us +- " + micros_text(jj->wire_error_ns) + " us; " +
               shown_text(hosts[jj->to]) + "'s times moved into " + shown_text(hosts[jj->from]) + "'s clock\n";
    std::string heading = std::to_string(join ? ordered_start(*join, j) : j.start()) + " " + trace_layout::protocol_layout(protocol)->name + " " +
                          flow_text(state.names, protocol, j.rows.front()) + ": " + std::to_string(j.rows.size()) +
                          " rows, " +
                          micros_text(j.duration_ns()) + " us,";
    std::string ending = sentence(j.end);
    // On a terminal too narrow for both, the ending on a line of its own, whole where it can be.
    out += heading + (width && heading.size() + 1 + ending.size() > width ? "\n  " : " ") + ending + "\n";

    std::vector<std::array<std::string, DETAIL_COLUMNS>> rows(j.rows.size());
    for (size_t i = 0; i < j.rows.size(); i++) {
        const trace_row &row = j.rows[i];
        rows[i] = {micros_text(i ? elapsed_ns(j.rows[i - 1].time, row.time) : 0),
                   micros_text(elapsed_ns(j.start(), row.time)),
                   std::to_string(row.cpu),
                   path_step(j, i, jj),
                   device_text(state, row),
                   shown_text(state.names.text(row.other_info), true)};
    }
    // A rewrite beside the first row that shows its new addresses.
    for (const rewrite &r : j.rewrites)
        rows[r.row][INFO] =
            rewrite_text(state.names, protocol, r) + (rows[r.row][INFO].empty() ? "" : " ") + rows[r.row][INFO];
    auto columns = DETAIL_WHOLE;
    for (size_t c = 0; c < DETAIL_COLUMNS; c++) {
        if (!width && c != STEP)
            continue;
        columns[c].width = std::string_view(DETAIL_LABELS[c]).size();
        for (const auto &row : rows)
            columns[c].width = std::max(columns[c].width, row[c].size());
    }
    if (width) {
        size_t others = 0;
        for (size_t c = 0; c < INFO; c++)
            others += columns[c].gap + (c == STEP ? 0 : columns[c].width);
        size_t room = width > others ? width - others : 0;
        columns[STEP].width = std::min(columns[STEP].width, std::max(STEP_WIDTH_MIN, room));
        room -= std::min(room, columns[STEP].width + columns[INFO].gap);
        columns[INFO].width = room;
        columns[INFO].shown = room >= INFO_WIDTH_MIN;
    }
    put_row(out, columns.data(), DETAIL_LABELS, width != 0);
    for (const auto &row : rows)
        put_row(out, columns.data(), row, width != 0);
    out += '\n';
    fit_lines(begin);
}

void text_renderer::clocks(const host_join &join)
{
    size_t begin = out.size();
    for (const host_clock &c : join.clocks) {
        // "b = a - 5 ns", not "b = a + -5 ns"; the magnitude taken unsigned, as INT64_MIN has none.
        uint64_t size = c.offset_ns < 0 ? 0 - uint64_t(c.offset_ns) : uint64_t(c.offset_ns);
        out += "clock: " + shown_text(join.hosts[c.b]) + " = " + shown_text(join.hosts[c.a]) +
               (c.offset_ns < 0 ? " - " : " + ") + std::to_string(size) + " ns +- " + std::to_string(c.error_ns) +
               " ns (" + std::to_string(c.matched) + " packets seen on both)\n";
    }
    fit_lines(begin);
}

void text_renderer::summary(const report_totals &totals)
{
    settle();
    size_t begin = out.size();
    out += "\njourneys: " + std::to_string(totals.journeys) + " (" + std::to_string(totals.rows) + " rows)\n";
    out += "frames with repeated fields: " + std::to_string(totals.repeated_frames) + "\n";
    out += "unreadable rows: " + std::to_string(state.unreadable_rows) + "\n";
    out += "delivered: " + std::to_string(totals.by_class[size_t(ending_class::delivered)]) +
           ", dropped: " + std::to_string(totals.by_class[size_t(ending_class::dropped)]) +
           ", not seen to the end: " + std::to_string(totals.by_class[size_t(ending_class::not_seen)]) + "\n";
    endings(totals);
    stages(totals);
    fit_lines(begin);
}

// The endings, most frequent first: the count after the class, the ending
// last, so that a long one pushes nothing (on a terminal it is cut).
void text_renderer::endings(const report_totals &totals)
{
    std::vector<ending_count> counted = endings_by_count(state, hosts, totals);
    std::vector<std::array<std::string, 3>> rows;
    table_column columns[3] = {{5, 0, false, true}, {8, 2, true, true}, {6, 2, false, true}};
    for (const ending_count &e : counted) {
        rows.push_back({e.told.known() ? class_label(e.told.what()) : "", number_text(e.count), e.sentence});
        for (size_t c = 0; c < 2; c++)
            columns[c].width = std::max(columns[c].width, rows.back()[c].size());
    }
    out += "\n";
    const char *labels[3] = {"CLASS", "JOURNEYS", "ENDING"};
    put_row(out, columns, labels, false);
    for (const auto &row : rows)
        put_row(out, columns, row, false);
}

// Stage latencies in path order, the numbers' columns as wide as their
// texts; on a terminal the stage's name gives way (to STAGE_WIDTH_MIN at
// least). Then the stage a user looks for first: the slowest by p90 (among
// those with latencies enough to tell one), and the one that took most time
// in all, each line's stage cut where the width asks.
constexpr size_t STAGE_WIDTH_MIN = 8;

// What a "*" after a total or a stage's max says.
void text_renderer::first_note(bool stage_marked)
{
    if (!stage_marked && !first_marked)
        return;
    std::string note = "* the first journey of its flow, which may pay once what later ones do not "
                       "(the neighbour's address resolved, the connection's first NAT walk)";
    if (width)
        cut_to(note, width);
    out += note + "\n";
}

void text_renderer::stages(const report_totals &totals)
{
    // Each host's stages apart: their latencies are of different machines.
    bool many_hosts = join && join->hosts.size() > 1;
    std::vector<stage_summary> stages =
        summarize_stages(state, totals.stages, false, many_hosts ? &join->host_of_source : nullptr);
    constexpr size_t COLUMNS = 6;
    const char *labels[COLUMNS] = {"STAGE", "COUNT", "P50_US", "P90_US", "P99_US", "MAX_US"};
    table_column columns[COLUMNS];
    for (size_t c = 0; c < COLUMNS; c++)
        columns[c] = {std::string_view(labels[c]).size(), size_t(c ? 2 : 0), c > 0, true};
    std::vector<std::array<std::string, COLUMNS>> rows;
    bool max_marked = false; // a max hangs its mark past the last column
    for (const stage_summary &s : stages) {
        max_marked = max_marked || s.max_first;
        std::string name = many_hosts && s.group < hosts.size() ? shown_text(hosts[s.group]) + ": " : "";
        // One step at a time: a step made shown may move those shown before it.
        name += shown_step(s.from);
        name += " -> ";
        name += shown_step(s.to);
        rows.push_back({std::move(name), number_text(s.count),
                        micros_text(s.p50), s.count >= P90_COUNT_MIN ? micros_text(s.p90) : "-",
                        s.count >= P99_COUNT_MIN ? micros_text(s.p99) : "-",
                        micros_text(s.max) + (s.max_first ? "*" : "")});
        for (size_t c = 0; c < COLUMNS; c++)
            columns[c].width = std::max(columns[c].width, c ? number_width(rows.back()[c]) : rows.back()[c].size());
    }
    if (width) {
        size_t numbers = max_marked;
        for (size_t c = 1; c < COLUMNS; c++)
            numbers += columns[c].gap + columns[c].width;
        columns[0].width = std::min(columns[0].width, std::max(STAGE_WIDTH_MIN, width > numbers ? width - numbers : 0));
    }
    out += "\n";
    put_row(out, columns, labels, width != 0);
    size_t most = stages.size();
    for (size_t i = 0; i < stages.size(); i++) {
        put_row(out, columns, rows[i], width != 0);
        const stage_summary &s = stages[i];
        if (most == stages.size() || s.total > stages[most].total)
            most = i;
    }
    if (stages.empty()) {
        if (first_marked)
            out += "\n", first_note(false);
        return;
    }
    size_t slowest = slowest_first(stages).front();
    const stage_summary &slow = stages[slowest], &long_ = stages[most];
    bool p90_told = slow.count >= P90_COUNT_MIN;
    auto stage_line = [&](const char *lead, std::string name, const std::string &tail) {
        size_t around = std::string_view(lead).size() + tail.size();
        if (width)
            cut_to(name, std::max(STAGE_WIDTH_MIN, width > around ? width - around : 0));
        out += lead + name + tail + "\n";
    };
    out += "\n";
    first_note(max_marked);
    stage_line("slowest stage: ", rows[slowest][0],
               " (" + (p90_told ? "p90 " + micros_text(slow.p90) : "max " + micros_text(slow.max)) + " us over " +
                   std::to_string(slow.count) + (slow.count == 1 ? " latency" : " latencies") + ")");
    stage_line("most time in all: ", rows[most][0],
               " (" + micros_text(long_.total) + " us over " + std::to_string(long_.count) +
                   (long_.count == 1 ? " latency" : " latencies") + ", mean " + micros_text(long_.mean) + " us)");
}

// A line per journey under a header of columns, or (detail) each journey
// hop by hop.
struct text_report final : report_writer {
    text_renderer text;
    bool detail;
    text_report(std::string &out, report_state &state, const std::vector<std::string> &hosts, bool detail_)
        : text(out, state, hosts), detail(detail_)
    {
    }
    void header(const host_join *join) override
    {
        text.join = join;
        if (join)
            text.clocks(*join);
        if (!detail)
            text.header();
    }
    void journey(const ::journey &j) override { detail ? text.detail(j, nullptr) : text.line(j, nullptr); }
    void frames(const ::journey &) override {}
    void joined(const joined_journey &jj) override { detail ? text.detail(jj.whole, &jj) : text.line(jj.whole, &jj); }
    // Under --follow the header waits for the first lines to size its columns.
    void flush() override
    {
        if (!text.held.empty())
            text.settle();
    }
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
