// The reader's HTML page opened in a real browser: Debian's chromium,
// headless, reads the DOM back (--dump-dom), measures where the page was
// laid out (by a script added to a copy of the page) and takes screenshots,
// whose PNGs are decoded here to see that something was drawn. Without
// chromium these tests fail: `make deps` installs it.
#include <arpa/inet.h>
#include <png.h>
#include <sys/mman.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_report.h"
#include "trace_output.h"

namespace {

using nlohmann::json;

struct browser_result {
    int status;
    std::string out, err;
};

// Runs headless chromium on a local page with a throwaway profile, in a
// window `width` pixels wide.
browser_result chromium(const std::string &page, const std::string &what, int width = 1400, int height = 900)
{
    if (system("command -v chromium > /dev/null") != 0) {
        ADD_FAILURE() << "chromium is not installed: apt-get install chromium (make deps)";
        return {127, "", "chromium is not installed"};
    }
    std::string dir = temp_dir();
    std::string command = "cd " + dir + " && timeout 120 chromium --headless --no-sandbox --disable-gpu "
                          "--disable-background-networking --disable-component-update --disable-sync "
                          "--no-first-run --enable-logging=stderr --user-data-dir=" + dir +
                          "/profile --window-size=" + std::to_string(width) + "," + std::to_string(height) + " " +
                          what + " file://" + page + " > " + dir + "/out 2> " + dir + "/err";
    int status = system(command.c_str());
    browser_result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir + "/out"), slurp(dir + "/err")};
    std::filesystem::remove_all(dir);
    return result;
}

// Distinct colours of a PNG, or 0 when it cannot be read.
size_t distinct_colours(const std::string &path)
{
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return 0;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        return 0;
    std::set<uint32_t> colours;
    for (size_t i = 0; i + 2 < pixels.size(); i += 3)
        colours.insert(uint32_t(pixels[i]) << 16 | uint32_t(pixels[i + 1]) << 8 | pixels[i + 2]);
    return colours.size();
}

// What the browser laid out, as the script added to the page measures it:
// - width: the window's, without its scroll bar; scroll_width, height: the page's;
// - clipped: every text whose box leaves the window or its svg, or that is
//   cut short without an ellipsis and its whole text on hover;
// - legend: each entry's text and its swatch's fill and border colours;
// - endings: each ending bar's label and colour;
// - red: elements that show a table's drop red without being a table's drop;
// - axes and lanes of #timeline and #joined: tick labels with their x; per
//   lane its flow, total, ending, class, its last mark's x and its plot's edges.
const char *const PROBE = R"(<script>
const RED = 'rgb(214, 39, 40)';
const out = {width: document.documentElement.clientWidth, scroll_width: document.documentElement.scrollWidth,
             height: document.documentElement.scrollHeight, clipped: [], legend: [], endings: [], red: [],
             axes: {}, lanes: {}};
const inside = (r, left, right) => r.left >= left - 0.5 && r.right <= right + 0.5;
for (const el of document.body.querySelectorAll('*')) {
  if (el.closest('title, pre#probe, script')) continue;
  const s = getComputedStyle(el);
  if ([s.color, s.backgroundColor, s.fill, s.stroke].includes(RED) && !el.classList.contains('table-drop'))
    out.red.push(el.outerHTML.slice(0, 200));
  const text = [...el.childNodes].filter(n => n.nodeType === 3).map(n => n.textContent).join('').trim();
  if (!text) continue;
  const r = el.getBoundingClientRect(), svg = el.ownerSVGElement;
  const fits = inside(r, 0, out.width) && (!svg || inside(r, svg.getBoundingClientRect().left, svg.getBoundingClientRect().right));
  const cut = !svg && (el.scrollWidth > el.clientWidth + 1 || el.scrollHeight > el.clientHeight + 1) && s.display !== 'inline';
  const hover = el.closest('[title]');
  const told = (s.textOverflow === 'ellipsis' || s.webkitLineClamp !== 'none') && hover && hover.title.includes(el.textContent.trim());
  if (!fits || (cut && !told))
    out.clipped.push([el.tagName, el.textContent.slice(0, 80), Math.round(r.left), Math.round(r.right), cut]);
}
for (const i of document.querySelectorAll('.legend i'))
  out.legend.push([i.parentNode.textContent, getComputedStyle(i).backgroundColor, getComputedStyle(i).borderTopColor]);
for (const e of document.querySelectorAll('.ending'))
  out.endings.push([e.querySelector('.label').textContent, getComputedStyle(e.querySelector('.bar')).backgroundColor]);
for (const id of ['timeline', 'joined']) {
  const lanes = document.getElementById(id);
  if (!lanes) continue;
  out.axes[id] = [...lanes.querySelector('svg.axis').querySelectorAll('text')].map(
    t => [t.textContent, (t.getBoundingClientRect().left + t.getBoundingClientRect().right) / 2]);
  out.lanes[id] = [...lanes.querySelectorAll('.lane')].map(l => {
    const marks = l.querySelectorAll('circle.mark'), last = marks[marks.length - 1].getBoundingClientRect();
    const plot = l.querySelector('svg.plot').getBoundingClientRect();
    return {flow: l.querySelector('.flow').textContent, total: l.querySelector('.total').textContent,
            end: l.querySelector('.end').textContent, class: l.className, marks: marks.length,
            x: (last.left + last.right) / 2, left: plot.left, right: plot.right};
  });
}
const pre = document.createElement('pre');
pre.id = 'probe';
pre.textContent = JSON.stringify(out);
document.body.appendChild(pre);
</script>)";

json laid_out(const std::string &page, int width)
{
    std::string probe = page + ".probe.html", html = slurp(page);
    size_t end = html.rfind("</body>");
    EXPECT_NE(end, std::string::npos);
    html.insert(end, PROBE);
    std::ofstream(probe, std::ios::binary) << html;
    browser_result dom = chromium(probe, "--dump-dom", width);
    EXPECT_EQ(dom.status, 0) << dom.err;
    size_t from = dom.out.find("<pre id=\"probe\">"), to = dom.out.find("</pre>", from);
    if (from == std::string::npos || to == std::string::npos) {
        ADD_FAILURE() << "no measurements in the rendered page: " << dom.err;
        return json::object();
    }
    std::string text = dom.out.substr(from + 16, to - from - 16);
    for (auto [entity, ch] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&nbsp;", " "}, {"&amp;", "&"}})
        for (size_t at = 0; (at = text.find(entity, at)) != std::string::npos; at += strlen(ch))
            text.replace(at, strlen(entity), ch);
    return json::parse(text);
}

// A time as the page writes it ("850 ns", "12.3 µs", "16.0 ms", "2.5 s"), in ns.
double ns_of(const std::string &text)
{
    size_t unit = text.find(' ');
    std::string u = text.substr(unit + 1);
    double scale = u == "ns" ? 1 : u == "\xc2\xb5s" ? 1e3 : u == "ms" ? 1e6 : u == "s" ? 1e9 : -1;
    EXPECT_GT(scale, 0) << text;
    return std::stod(text.substr(0, unit)) * scale;
}

// Each mark's fill and stroke by the function of its row (from its title:
// "TIME cpu CPU FUNCTION ..."), and the functions lane by lane.
struct mark_colours {
    std::map<std::string, std::set<std::string>> by_function;
    std::vector<std::vector<std::pair<std::string, std::string>>> lanes; // function, fill + stroke
};
mark_colours colours_of_marks(const std::string &dom)
{
    mark_colours found;
    static const std::regex mark(R"re(<circle class="mark"[^>]* fill="([^"]*)" stroke="([^"]*)"><title>-?\d+ cpu \d+ (\S+) )re");
    for (size_t lane = dom.find("<div class=\"lane"); lane != std::string::npos;) {
        size_t next = dom.find("<div class=\"lane", lane + 1);
        std::string text = dom.substr(lane, next == std::string::npos ? std::string::npos : next - lane);
        found.lanes.emplace_back();
        for (std::sregex_iterator m(text.begin(), text.end(), mark), end; m != end; ++m) {
            std::string style = (*m)[1].str() + " " + (*m)[2].str();
            found.by_function[(*m)[3]].insert(style);
            found.lanes.back().push_back({(*m)[3], style});
        }
        lane = next;
    }
    return found;
}

class ReportPage : public ::testing::Test {
protected:
    void SetUp() override { dir = temp_dir(); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string page_of(const std::vector<std::string> &args)
    {
        std::string page = dir + "/page.html";
        std::vector<std::string> all{"--html", page};
        all.insert(all.end(), args.begin(), args.end());
        report_result r = run_report(all);
        EXPECT_EQ(r.status, 0) << r.err;
        return page;
    }

    std::string dir;
};

// The SYN sent twice to a port the table drops is one lane, x2: the same
// flow, path and ending.
TEST_F(ReportPage, a_small_trace_renders_one_mark_per_row_and_nothing_is_fetched)
{
    std::string page = page_of({data_file("tcp_iptables.trace")});
    std::string html = slurp(page);
    EXPECT_EQ(html.find("http:"), std::string::npos);
    EXPECT_EQ(html.find("https:"), std::string::npos);
    EXPECT_EQ(html.find(" src="), std::string::npos);

    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(count_of(dom.out, "class=\"mark\""), 32u); // every row of the delivered SYN and of the dropped one
    EXPECT_EQ(count_of(dom.out, "class=\"path\""), 2u);
    EXPECT_EQ(count_of(dom.out, "<div class=\"lane dropped\""), 1u);
    EXPECT_NE(dom.out.find("<b class=\"times\">\xc3\x97" "2</b> 198.18.0.1:40112 &gt; 198.18.0.2:5304 seq 2810455102"),
              std::string::npos);
    EXPECT_NE(dom.out.find(">dropped by table filter at NF_INET_LOCAL_IN<"), std::string::npos);
    // Hovering a mark shows its row.
    EXPECT_NE(dom.out.find("<title>5631060164 cpu 1 ipt_do_table nil"), std::string::npos);
    EXPECT_EQ(dom.err.find("Uncaught"), std::string::npos) << dom.err;
    EXPECT_EQ(dom.err.find("CONSOLE"), std::string::npos) << dom.err;
    // Starts 1.1 s apart; in another trace 2 ms apart, in a unit that shows it.
    EXPECT_NE(dom.out.find(">journeys started, over 1.1 s<"), std::string::npos);
    EXPECT_NE(slurp(page_of({data_file("udp_iptables.trace")})).find(">journeys started, over 2.0 ms<"),
              std::string::npos);
    // Each file says its protocols and family; an IPv6 flow is in RFC 5952's form, whole on hover.
    std::string both = slurp(page_of({data_file("ipv6.trace"), data_file("icmp.trace")}));
    EXPECT_NE(both.find("ipv6.trace (icmp6, tcp, udp; IPv6), "), std::string::npos);
    EXPECT_NE(both.find("icmp.trace (icmp; IPv4): 15 journeys"), std::string::npos);
    EXPECT_NE(both.find("title=\"[fd00:1::1]:40002 &gt; [fd00:1::2]:9999 seq 2000 ack 0: the journey starts at "
                        "7804004000\""),
              std::string::npos);
}

TEST_F(ReportPage, marks_tell_a_walk_from_its_return_and_the_tcp_receive_functions_apart_in_a_legend)
{
    std::string page = page_of({data_file("lab_tcp_iptables.trace")});
    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    mark_colours colours = colours_of_marks(dom.out);
    std::map<std::string, std::string> style; // each function has one
    for (const auto &[function, styles] : colours.by_function) {
        EXPECT_EQ(styles.size(), 1u) << function;
        style[function] = *styles.begin();
    }
    const std::vector<std::string> apart = {"ipt_do_table", "ret_ipt_do_table", "tcp_v4_rcv", "tcp_v4_do_rcv",
                                            "tcp_rcv_established", "tcp_queue_rcv"};
    for (size_t a = 0; a < apart.size(); a++)
        for (size_t b = a + 1; b < apart.size(); b++) {
            ASSERT_TRUE(style.count(apart[a]) && style.count(apart[b])) << apart[a] << " " << apart[b];
            EXPECT_NE(style[apart[a]], style[apart[b]]) << apart[a] << " and " << apart[b];
        }
    // Along every lane, a function and the next never look alike.
    for (const auto &lane : colours.lanes)
        for (size_t i = 1; i < lane.size(); i++)
            if (lane[i].first != lane[i - 1].first) {
                EXPECT_NE(lane[i].second, lane[i - 1].second) << lane[i - 1].first << " then " << lane[i].first;
            }
    // A walk is filled, its return a ring.
    EXPECT_NE(style["ipt_do_table"].substr(0, 8), "#ffffff ");
    EXPECT_EQ(style["ret_ipt_do_table"].substr(0, 8), "#ffffff ");
    EXPECT_NE(dom.out.find("ipt_do_table (table walk)</span>"), std::string::npos);
    EXPECT_NE(dom.out.find("ret_ipt_do_table (walk's return)</span>"), std::string::npos);
    for (const std::string &function : apart)
        EXPECT_NE(dom.out.find("></i>" + function), std::string::npos) << function; // in the legend
}

// A container host's traces: NAT rewrites, two containers' eth0, a FORWARD
// drop and forwarding off.
TEST_F(ReportPage, a_nat_rewrite_is_a_bar_at_its_row_told_on_hover_and_forwarding_off_has_a_colour_of_its_own)
{
    std::string page = page_of({data_file("nat_tcp.trace"), data_file("forward_tcp.trace")});
    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    static const std::regex bar(R"re(<line class="rewrite" x1="([^"]*)" x2="\1" y1="1" y2="13"><title>([^<]*) at (\S+)</title></line>)re");
    std::vector<std::string> told;
    for (size_t lane = dom.out.find("<div class=\"lane"); lane != std::string::npos;) {
        size_t next = dom.out.find("<div class=\"lane", lane + 1);
        std::string text = dom.out.substr(lane, next == std::string::npos ? std::string::npos : next - lane);
        for (std::sregex_iterator b(text.begin(), text.end(), bar), end; b != end; ++b) {
            told.push_back((*b)[2]);
            // At the mark of the row that first shows the new addresses.
            size_t mark = text.find("<circle class=\"mark\" cx=\"" + (*b)[1].str() + "\"");
            ASSERT_NE(mark, std::string::npos) << (*b)[0];
            std::string title = text.substr(mark, text.find("</title>", mark) - mark);
            EXPECT_NE(title.find(" " + (*b)[3].str() + " "), std::string::npos) << title;
            std::string to = (*b)[2].str().substr((*b)[2].str().find("=&gt; ") + 6);
            to = std::regex_replace(to.substr(0, to.size() - 1), std::regex("&gt;"), " &gt; ");
            EXPECT_NE(title.find(to), std::string::npos) << title << " has no " << to;
        }
        lane = next;
    }
    EXPECT_EQ(told, (std::vector<std::string>{
                        "[snat 10.88.0.2:40000&gt;198.18.0.2:8080 =&gt; 198.18.0.1:40000&gt;198.18.0.2:8080]",
                        "[dnat 198.18.0.2:8080&gt;198.18.0.1:40000 =&gt; 198.18.0.2:8080&gt;10.88.0.2:40000]",
                        "[dnat 198.18.0.2:50000&gt;198.18.0.1:8080 =&gt; 198.18.0.2:50000&gt;10.88.0.3:80]"}));
    EXPECT_EQ(count_of(dom.out, "<i class=\"rewrite-key\""), 1u); // in the legend
    // A mark's row names a container's eth0 with its namespace, a bridge as it is.
    EXPECT_NE(dom.out.find(" cpu 0 __netif_receive_skb eth0@4026532350 "), std::string::npos);
    EXPECT_NE(dom.out.find(" cpu 0 __netif_receive_skb cni0 "), std::string::npos);
    EXPECT_EQ(dom.out.find("cni0@"), std::string::npos);

    json shown = laid_out(page, 1400);
    std::map<std::string, std::string> colour_of;
    for (const json &e : shown["endings"])
        colour_of[e[0]] = e[1];
    ASSERT_EQ(colour_of.count("dropped at ip_error: IPv4 forwarding is off"), 1u) << shown["endings"].dump();
    for (const auto &[ending, colour] : colour_of)
        if (ending != "dropped at ip_error: IPv4 forwarding is off") {
            EXPECT_NE(colour, colour_of["dropped at ip_error: IPv4 forwarding is off"]) << ending;
        }
    // No rewrite, no bar and no legend for one.
    std::string plain = slurp(page_of({data_file("forward_tcp.trace")}));
    EXPECT_EQ(plain.find("<i class=\"rewrite-key\""), std::string::npos);
    EXPECT_EQ(plain.find("<line class=\"rewrite\""), std::string::npos);
}

// Each kind of trace the lab makes, read into a page and laid out in a
// window 1400 and one 800 pixels wide. Screenshots are kept in page-shots/
// (beside the test's working directory) for a person to look at.
struct page_kind {
    const char *name;
    std::vector<std::string> args;
    bool table_drops; // some of its journeys a table dropped
    std::vector<const char *> lanes; // the lanes drawn: "timeline" (one host), "joined" (two)
};

void PrintTo(const page_kind &kind, std::ostream *out)
{
    *out << kind.name;
}

class ReportPageKinds : public ReportPage, public ::testing::WithParamInterface<page_kind> {};

TEST_P(ReportPageKinds, every_label_is_whole_colours_mean_one_thing_and_lanes_are_to_scale_at_1400_and_800_pixels)
{
    const page_kind &kind = GetParam();
    std::string page = page_of(kind.args), html = slurp(page);
    // From the answer down: classes, endings, the slowest, stage histograms, lanes.
    size_t at = 0;
    for (const char *part : {"<p class=\"classes\">", "<h2>Endings</h2>", "<h3>Slowest journeys</h3>",
                             "<h3>Slowest stages</h3>", "<h2>Stage latencies</h2>", "<h2>Timeline</h2>"}) {
        size_t found = html.find(part);
        EXPECT_TRUE(found != std::string::npos && found >= at) << part;
        at = found == std::string::npos ? at : found;
    }
    // The slowest stage first, as the text's summary picks it.
    std::string text = run_report(kind.args).out;
    size_t told = text.find("\nslowest stage: ") + 16;
    std::string slowest = text.substr(told, text.find(" (", told) - told);
    size_t first = html.find("<td class=\"mono\">", html.find("<h3>Slowest stages</h3>")) + 17;
    EXPECT_EQ(std::regex_replace(html.substr(first, html.find("</td>", first) - first), std::regex("<[^>]*>"), ""),
              std::regex_replace(slowest, std::regex(">"), "&gt;"));
    // Each stage's bars hold all its latencies, each bar its count on hover, the tallest labelled.
    static const std::regex stage_row(R"re(<div class="stage" title="[^"]*: (\d+) latencies[^>]*>.*?</svg></div>)re"),
        bar(R"re(<rect class="hist"[^>]*><title>(\d+) latenc)re");
    size_t rows = 0;
    for (std::sregex_iterator row(html.begin(), html.end(), stage_row), end; row != end; ++row, rows++) {
        std::string svg = (*row)[0];
        uint64_t in_bars = 0;
        for (std::sregex_iterator b(svg.begin(), svg.end(), bar); b != end; ++b)
            in_bars += std::stoull((*b)[1]);
        EXPECT_EQ(in_bars, std::stoull((*row)[1])) << svg.substr(0, 200);
        EXPECT_EQ(count_of(svg, "<text class=\"peak\""), 1u);
    }
    EXPECT_GT(rows, 10u);
    std::string shots = (std::filesystem::current_path() / "page-shots").string();
    std::filesystem::create_directories(shots);
    for (int width : {1400, 800}) {
        SCOPED_TRACE(std::string(kind.name) + " at " + std::to_string(width) + " pixels");
        json shown = laid_out(page, width);
        ASSERT_TRUE(shown.contains("width"));
        EXPECT_GT(shown["width"].get<double>(), width - 40);
        EXPECT_LE(shown["scroll_width"], shown["width"]); // nothing wider than the window
        EXPECT_TRUE(shown["clipped"].empty()) << shown["clipped"].dump(1);

        // No two legend entries alike, and none in the colour of an ending.
        std::map<std::string, std::string> legend_of_colour;
        std::set<std::string> ending_colours;
        for (const json &e : shown["endings"])
            ending_colours.insert(e[1].get<std::string>());
        EXPECT_GT(shown["legend"].size(), 10u);
        for (const json &entry : shown["legend"]) {
            std::string name = entry[0], colour = entry[2];
            auto [at, added] = legend_of_colour.try_emplace(colour, name);
            EXPECT_TRUE(added) << name << " and " << at->second << " are both " << colour;
            EXPECT_EQ(ending_colours.count(colour), 0u) << name << " has an ending's colour " << colour;
        }
        // Table drops red, and nothing else.
        EXPECT_TRUE(shown["red"].empty()) << shown["red"].dump(1);
        size_t red_endings = 0;
        for (const json &e : shown["endings"]) {
            bool table = e[0].get<std::string>().rfind("dropped by table ", 0) == 0;
            EXPECT_EQ(e[1] == "rgb(214, 39, 40)", table) << e[0];
            red_endings += table;
        }
        EXPECT_EQ(red_endings > 0, kind.table_drops);

        // Lanes on a labelled axis, each ending the further right the longer it took.
        ASSERT_EQ(shown["lanes"].size(), kind.lanes.size());
        for (const char *id : kind.lanes) {
            SCOPED_TRACE(id);
            const json &ticks = shown["axes"][id], &lanes = shown["lanes"][id];
            ASSERT_GE(ticks.size(), 3u) << ticks.dump();
            EXPECT_EQ(ticks[0][0], "0");
            for (size_t i = 1; i < ticks.size(); i++)
                EXPECT_GT(ticks[i][1].get<double>(), ticks[i - 1][1].get<double>() + 20) << ticks.dump();
            ASSERT_GE(lanes.size(), 3u);
            std::vector<std::tuple<double, double, std::string>> ends; // total, last mark's x, lane
            for (const json &lane : lanes) {
                double x = lane["x"];
                EXPECT_GE(x, lane["left"].get<double>() - 0.5) << lane.dump();
                EXPECT_LE(x, lane["right"].get<double>() + 0.5) << lane.dump();
                ends.push_back({ns_of(lane["total"]), x, lane.dump()});
            }
            std::sort(ends.begin(), ends.end());
            for (size_t i = 1; i < ends.size(); i++)
                if (std::get<0>(ends[i]) > std::get<0>(ends[i - 1])) {
                    EXPECT_GT(std::get<1>(ends[i]), std::get<1>(ends[i - 1]))
                        << std::get<2>(ends[i]) << "\n" << std::get<2>(ends[i - 1]);
                }
            const json &longest = *std::max_element(lanes.begin(), lanes.end(), [](const json &a, const json &b) {
                return ns_of(a["total"]) < ns_of(b["total"]);
            });
            double right_of_longest = longest["right"].get<double>() - longest["x"].get<double>();
            EXPECT_LT(std::fabs(right_of_longest), 1) << longest.dump(); // the longest reaches the right edge
        }

        std::string png = shots + "/" + kind.name + "-" + std::to_string(width) + ".png";
        int height = std::clamp(shown["height"].get<int>(), 900, 16000);
        browser_result shot = chromium(page, "--hide-scrollbars --screenshot=" + png, width, height);
        ASSERT_EQ(shot.status, 0) << shot.err;
        std::cout << "screenshot: " << png << "\n";
        // A blank page is one colour; bars, histograms and marks in a dozen hues are many.
        EXPECT_GT(distinct_colours(png), 20u) << png;
    }
}

INSTANTIATE_TEST_SUITE_P(
    LabTraces, ReportPageKinds,
    ::testing::Values(
        page_kind{"ping", {data_file("lab_traffic_icmp.trace")}, false, {"timeline"}},
        page_kind{"tcp-transfer", {data_file("lab_traffic_tcp.trace")}, false, {"timeline"}},
        page_kind{"udp-drops", {data_file("lab_drops_udp.trace")}, true, {"timeline"}},
        page_kind{"tcp-iptables", {data_file("lab_tcp_iptables.trace")}, false, {"timeline"}},
        page_kind{"full-buffer", {data_file("lab_traffic_udp.trace")}, true, {"timeline"}},
        page_kind{"containers", {data_file("nat_tcp.trace"), data_file("forward_tcp.trace")}, true, {"timeline"}},
        page_kind{"ipv6-beside-ipv4", {data_file("ipv6.trace"), data_file("tcp_iptables.trace")}, true, {"timeline"}},
        page_kind{"two-hosts",
                  {"--host", "amd64=" + data_file("lab_pair_amd64_icmp.trace"), "--host",
                   "arm64=" + data_file("lab_pair_arm64_icmp.trace")},
                  false,
                  {"timeline", "joined"}}),
    [](const ::testing::TestParamInfo<page_kind> &info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// Journeys of three rows, written by the monitor's own renderer, 100 us
// apart: journey `slow` takes 10 ms; journey 4321 ends at ip_rcv and 6789
// at ip_output (endings seen once, where there are so many). Each its own
// echo request, or all the same one.
std::string many_journeys(const std::string &dir, unsigned count, unsigned slow, bool one_flow = false)
{
    // Rendered in memory (the renderer syncs each row to its file), then written out at once.
    int fd = memfd_create("many.trace", 0);
    trace_fd = fd;
    trace_filter = {0, PROTO_ICMP, 0};
    write_trace_header(PROTO_ICMP);
    data_t r;
    memset(&r, 0, sizeof(r));
    r.ip_data.protocol = PROTO_ICMP;
    inet_pton(AF_INET, "198.18.0.1", &r.ip_data.saddr);
    inet_pton(AF_INET, "198.18.0.2", &r.ip_data.daddr);
    r.icmp_data.type = 8;
    for (unsigned i = 0; i < count; i++) {
        r.icmp_data.id = htons(uint16_t(one_flow ? 7 : i / 65536 + 1));
        r.icmp_data.seq = htons(uint16_t(one_flow ? 0 : i));
        int64_t start = 1000000000 + int64_t(i) * 100000, hop = i == slow ? 5000000 : 20000 + i % 97 * 300;
        const char *path_of_packet[] = {"ip_output", "ip_rcv", "icmp_rcv"};
        int rows = i == 4321 ? 2 : i == 6789 ? 1 : 3;
        for (int k = 0; k < rows; k++) {
            r.func_info.rcv_ts = uint64_t(start + k * hop);
            strcpy(r.func_info.func_name, path_of_packet[k]);
            handle_trace_event(nullptr, 0, &r, sizeof(r));
        }
    }
    std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    close(fd);
    trace_fd = 1;
    std::string path = dir + "/many.trace";
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Beyond 400 journeys the lanes are a sample, which always holds the
// slowest journeys and one of each ending; every lane ends in its total
// time and ending, laid out whole inside a window 1400 px wide.
TEST_F(ReportPage, ten_thousand_journeys_draw_a_sample_every_ending_and_the_slowest_labelled_in_1400_pixels)
{
    std::string page = page_of({many_journeys(dir, 10000, 2468)});
    std::string html = slurp(page);
    EXPECT_LT(html.size(), 2u << 20);
    EXPECT_NE(html.find("10000 journeys are too many to draw one lane each: the lanes below show 397 of them, "
                        "every 26th in start order, the 10 slowest and the slowest of each of the 3 endings."),
              std::string::npos);
    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(count_of(dom.out, "class=\"path\""), 397u);
    EXPECT_NE(dom.out.find("ended at icmp_rcv: 9998 journeys"), std::string::npos);

    json shown = laid_out(page, 1400);
    EXPECT_TRUE(shown["clipped"].empty()) << shown["clipped"].dump(1);
    const json &lanes = shown["lanes"]["timeline"];
    ASSERT_EQ(lanes.size(), 397u);
    std::map<std::string, size_t> lanes_by_ending;
    size_t slowest = 0;
    for (const json &lane : lanes) {
        lanes_by_ending[lane["end"]]++;
        slowest += lane["class"].get<std::string>().find("slowest") != std::string::npos;
    }
    EXPECT_EQ(lanes_by_ending.size(), 3u);
    EXPECT_EQ(lanes_by_ending["last seen at ip_rcv"], 1u);
    EXPECT_EQ(lanes_by_ending["last seen at ip_output"], 1u);
    EXPECT_EQ(slowest, 10u);
    auto lane_of = [&](const std::string &total, const std::string &end) {
        return std::find_if(lanes.begin(), lanes.end(),
                            [&](const json &l) { return l["total"] == total && l["end"] == end; });
    };
    auto slowest_lane = lane_of("10.0 ms", "ended at icmp_rcv");
    ASSERT_NE(slowest_lane, lanes.end());
    EXPECT_EQ((*slowest_lane)["class"], "lane slowest");
    // The ending seen once, with no other row than its first: 0 ns.
    EXPECT_NE(lane_of("0 ns", "last seen at ip_output"), lanes.end());
}

// 300 echo requests alike: one lane, x300, drawn as the slowest of them.
TEST_F(ReportPage, journeys_of_one_flow_path_and_ending_share_a_lane_that_draws_the_slowest)
{
    std::string page = page_of({many_journeys(dir, 300, 123, true)});
    json shown = laid_out(page, 800);
    const json &lanes = shown["lanes"]["timeline"];
    ASSERT_EQ(lanes.size(), 1u) << lanes.dump(1);
    EXPECT_EQ(lanes[0]["flow"], "\xc3\x97" "300 198.18.0.1 > 198.18.0.2 type 8 id 7 seq 0");
    EXPECT_EQ(lanes[0]["total"], "10.0 ms");
    EXPECT_EQ(lanes[0]["marks"], 3);
    EXPECT_NE(slurp(page).find("<span class=\"num\">300</span>"), std::string::npos); // the endings still count all
}

} // namespace
