// The reader's HTML page opened in a real browser: Debian's chromium,
// headless in a window 1400 pixels wide, reads the DOM back (--dump-dom),
// measures where the page's labels were laid out, and takes a screenshot,
// whose PNG is decoded here to see that something was drawn. Without
// chromium these tests fail: `make deps` installs it.
#include <arpa/inet.h>
#include <png.h>
#include <sys/mman.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "run_report.h"
#include "trace_output.h"

namespace {

struct browser_result {
    int status;
    std::string out, err;
};

// Runs headless chromium on a local page with a throwaway profile.
browser_result chromium(const std::string &page, const std::string &what)
{
    if (system("command -v chromium > /dev/null") != 0) {
        ADD_FAILURE() << "chromium is not installed: apt-get install chromium (make deps)";
        return {127, "", "chromium is not installed"};
    }
    std::string dir = temp_dir();
    std::string command = "cd " + dir + " && timeout 120 chromium --headless --no-sandbox --disable-gpu "
                          "--disable-background-networking --disable-component-update --disable-sync "
                          "--no-first-run --enable-logging=stderr --user-data-dir=" + dir +
                          "/profile --window-size=1400,900 " + what + " file://" + page + " > " + dir +
                          "/out 2> " + dir + "/err";
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

// A lane's end label as laid out by the browser, in CSS pixels.
struct end_label {
    std::string lane_class, text;
    double left, right, width, height;
};
struct laid_out {
    double page_width = 0; // the window's, without its scroll bar
    std::vector<end_label> labels;
};

// The page with a script added that writes, once laid out, the box of
// every lane's end label into the DOM that --dump-dom returns.
laid_out end_labels(const std::string &page)
{
    std::string probe = page + ".probe.html", html = slurp(page);
    size_t end = html.rfind("</body>");
    EXPECT_NE(end, std::string::npos);
    html.insert(end, R"(<script>
const lines = [document.documentElement.clientWidth];
for (const t of document.querySelectorAll('#timeline text.end')) {
  const r = t.getBoundingClientRect();
  lines.push([t.parentNode.getAttribute('class'), t.textContent, r.left, r.right, r.width, r.height].join('\t'));
}
const pre = document.createElement('pre');
pre.id = 'probe';
pre.textContent = lines.join('\n');
document.body.appendChild(pre);
</script>)");
    std::ofstream(probe, std::ios::binary) << html;
    browser_result dom = chromium(probe, "--dump-dom");
    EXPECT_EQ(dom.status, 0) << dom.err;
    size_t from = dom.out.find("<pre id=\"probe\">"), to = dom.out.find("</pre>", from);
    laid_out result;
    if (from == std::string::npos || to == std::string::npos) {
        ADD_FAILURE() << "no measurements in the rendered page: " << dom.err;
        return result;
    }
    std::string text = dom.out.substr(from + 16, to - from - 16);
    for (auto [entity, ch] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
        for (size_t at; (at = text.find(entity)) != std::string::npos;)
            text.replace(at, strlen(entity), ch);
    std::vector<std::string> lines = lines_of(text);
    result.page_width = std::stod(lines.at(0));
    for (size_t i = 1; i < lines.size(); i++) {
        std::vector<std::string> f;
        std::istringstream fields(lines[i]);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        EXPECT_EQ(f.size(), 6u) << lines[i];
        if (f.size() == 6)
            result.labels.push_back({f[0], f[1], std::stod(f[2]), std::stod(f[3]), std::stod(f[4]), std::stod(f[5])});
    }
    return result;
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
    for (size_t lane = dom.find("<g class=\"lane"); lane != std::string::npos;) {
        size_t next = dom.find("<g class=\"lane", lane + 1);
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

    std::string page_of(const std::vector<std::string> &traces)
    {
        std::string page = dir + "/page.html";
        std::vector<std::string> args{"--html", page};
        args.insert(args.end(), traces.begin(), traces.end());
        report_result r = run_report(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return page;
    }

    std::string dir;
};

TEST_F(ReportPage, a_small_trace_renders_one_mark_per_row_and_nothing_is_fetched)
{
    std::string page = page_of({data_file("tcp_iptables.trace")});
    std::string html = slurp(page);
    EXPECT_EQ(html.find("http:"), std::string::npos);
    EXPECT_EQ(html.find("https:"), std::string::npos);
    EXPECT_EQ(html.find(" src="), std::string::npos);

    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(count_of(dom.out, "class=\"mark\""), 46u); // every row of the three SYNs
    EXPECT_EQ(count_of(dom.out, "<polyline"), 3u);      // one lane per journey
    EXPECT_EQ(count_of(dom.out, "class=\"lane dropped\""), 2u);
    EXPECT_NE(dom.out.find(">dropped by table filter at NF_INET_LOCAL_IN<"), std::string::npos);
    // Hovering a mark shows its row.
    EXPECT_NE(dom.out.find("<title>5631060164 cpu 1 ipt_do_table nil"), std::string::npos);
    EXPECT_EQ(dom.err.find("Uncaught"), std::string::npos) << dom.err;
    EXPECT_EQ(dom.err.find("CONSOLE"), std::string::npos) << dom.err;
    // Starts 1.1 s apart; in another trace 2 ms apart, in a unit that shows it.
    EXPECT_NE(dom.out.find(">journeys started, over 1.1 s<"), std::string::npos);
    EXPECT_NE(slurp(page_of({data_file("udp_iptables.trace")})).find(">journeys started, over 2.0 ms<"),
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
    EXPECT_NE(dom.out.find("ipt_do_table (table walk)</span>"), std::string::npos);
    EXPECT_NE(dom.out.find("ret_ipt_do_table (walk's return)</span>"), std::string::npos);
    for (const std::string &function : apart)
        EXPECT_NE(dom.out.find("></i>" + function), std::string::npos) << function; // in the legend
}

TEST_F(ReportPage, the_screenshot_of_a_real_trace_is_not_blank)
{
    std::string page = page_of({data_file("lab_udp_iptables.trace"), data_file("lab_icmp_plain.trace")});
    std::string png = dir + "/page.png";
    browser_result shot = chromium(page, "--screenshot=" + png);
    ASSERT_EQ(shot.status, 0) << shot.err;
    // A blank page is one colour; bars, histograms and marks in a dozen hues are many.
    EXPECT_GT(distinct_colours(png), 20u);
}

// 10,000 journeys of three rows, written by the monitor's own renderer,
// 100 us apart. Three are outliers the even sample passes over: the slowest
// (journey 2468, 10 ms) and two endings seen once (journey 4321 ends at
// ip_rcv, journey 6789 at ip_output).
std::string many_journeys(const std::string &dir, unsigned count)
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
        r.icmp_data.id = htons(uint16_t(i / 65536 + 1));
        r.icmp_data.seq = htons(uint16_t(i));
        int64_t start = 1000000000 + int64_t(i) * 100000, hop = i == 2468 ? 5000000 : 20000 + i % 97 * 300;
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
// slowest journeys and one of each ending; every lane ends in a label of
// its ending and total time, laid out whole inside a window 1400 px wide.
TEST_F(ReportPage, ten_thousand_journeys_draw_a_sample_every_ending_and_the_slowest_labelled_in_1400_pixels)
{
    std::string page = page_of({many_journeys(dir, 10000)});
    std::string html = slurp(page);
    EXPECT_LT(html.size(), 2u << 20);
    EXPECT_NE(html.find("10000 journeys are too many to draw one lane each: the lanes below show 397 of them, "
                        "every 26th in start order, the 10 slowest and the slowest of each of the 3 endings."),
              std::string::npos);
    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(count_of(dom.out, "<polyline"), 397u);
    EXPECT_NE(dom.out.find("ended at icmp_rcv: 9998 journeys"), std::string::npos);

    laid_out shown = end_labels(page);
    EXPECT_GT(shown.page_width, 1300);
    EXPECT_LE(shown.page_width, 1400);
    ASSERT_EQ(shown.labels.size(), 397u);
    std::map<std::string, size_t> lanes_by_ending;
    size_t slowest = 0;
    for (const end_label &label : shown.labels) {
        EXPECT_GE(label.left, 0) << label.text;
        EXPECT_LE(label.right, shown.page_width) << label.text;
        EXPECT_GT(label.width, 30) << label.text;
        EXPECT_GT(label.height, 5) << label.text;
        lanes_by_ending[label.text.substr(0, label.text.find(", "))]++;
        slowest += label.lane_class.find("slowest") != std::string::npos;
    }
    EXPECT_EQ(lanes_by_ending.size(), 3u);
    EXPECT_EQ(lanes_by_ending["last seen at ip_rcv"], 1u);
    EXPECT_EQ(lanes_by_ending["last seen at ip_output"], 1u);
    EXPECT_EQ(slowest, 10u);
    auto slowest_lane = std::find_if(shown.labels.begin(), shown.labels.end(),
                                     [](const end_label &l) { return l.text == "ended at icmp_rcv, 10.0 ms"; });
    ASSERT_NE(slowest_lane, shown.labels.end());
    EXPECT_EQ(slowest_lane->lane_class, "lane slowest");
    // The ending seen once, with no other row than its first: 0 ns.
    EXPECT_EQ(std::count_if(shown.labels.begin(), shown.labels.end(),
                            [](const end_label &l) { return l.text == "last seen at ip_output, 0 ns"; }),
              1);
}

} // namespace
