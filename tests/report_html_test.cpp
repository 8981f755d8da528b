// The reader's HTML page opened in a real browser: Debian's chromium,
// headless, reads the DOM back (--dump-dom) and takes a screenshot, whose
// PNG is decoded here to see that something was drawn.
#include <arpa/inet.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <set>

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
    std::string dir = temp_dir();
    std::string command = "cd " + dir + " && timeout 120 chromium --headless --no-sandbox --disable-gpu "
                          "--disable-background-networking --disable-component-update --disable-sync "
                          "--no-first-run --enable-logging=stderr --user-data-dir=" + dir +
                          "/profile --window-size=1200,900 " + what + " file://" + page + " > " + dir +
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

// 10,000 journeys of three rows, written by the monitor's own renderer.
std::string many_journeys(const std::string &dir, unsigned count)
{
    std::string path = dir + "/many.trace";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
        int64_t start = 1000000000 + int64_t(i) * 100000;
        const char *path_of_packet[] = {"ip_output", "ip_rcv", "icmp_rcv"};
        for (int k = 0; k < 3; k++) {
            r.func_info.rcv_ts = uint64_t(start + k * (20000 + i % 97 * 300));
            strcpy(r.func_info.func_name, path_of_packet[k]);
            handle_trace_event(nullptr, 0, &r, sizeof(r));
        }
    }
    close(fd);
    trace_fd = 1;
    return path;
}

TEST_F(ReportPage, ten_thousand_journeys_stay_usable_a_sample_of_lanes_and_a_note_saying_so)
{
    std::string page = page_of({many_journeys(dir, 10000)});
    std::string html = slurp(page);
    EXPECT_LT(html.size(), 2u << 20);
    EXPECT_NE(html.find("10000 journeys are too many to draw one lane each: the lanes below show 400 of them, "
                        "every 25th in start order"),
              std::string::npos);
    browser_result dom = chromium(page, "--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(count_of(dom.out, "class=\"mark\""), 1200u);
    EXPECT_EQ(count_of(dom.out, "<polyline"), 400u);
    EXPECT_NE(dom.out.find("ended at icmp_rcv: 10000 journeys"), std::string::npos);
}

} // namespace
