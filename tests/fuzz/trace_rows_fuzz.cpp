// libFuzzer harness for the reader's row parser: any bytes as a row of each
// protocol, and as a header. A row that parses must hold together: its
// texts lie inside the line and have no blank, its numbers fit their
// columns, and rendering its texts and numbers back in the layout's columns
// and reading that again gives the same row. OTHER_INFO is split too.
//
// Input: byte 0 chooses the protocol (low two bits: ICMP, TCP, UDP, or an
// unknown number); the rest is the line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "trace_layout.h"
#include "trace_rows.h"

namespace {

bool inside(std::string_view part, const std::string &line)
{
    return part.empty() || (part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size());
}

void put(std::string &out, std::string_view value, size_t width)
{
    out.append(value);
    if (value.size() < width)
        out.append(width - value.size(), ' ');
    out += ' ';
}

// The row written back in the layout, as the monitor would.
std::string rendered(const parsed_row &row, const trace_layout::protocol_layout_t &layout)
{
    using namespace trace_layout;
    std::string out;
    std::string time = std::to_string(row.time), cpu = std::to_string(row.cpu);
    std::string_view common[COMMON_COUNT] = {time, cpu, row.function, row.device, row.smac, row.dmac, row.sip, row.dip};
    for (size_t i = 0; i < COMMON_COUNT; i++)
        put(out, common[i], COMMON[i].width);
    for (size_t i = 0; i < layout.count; i++)
        put(out, std::to_string(row.fields[i]), layout.columns[i].width);
    return out + std::string(row.other_info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const uint32_t protocols[] = {1, 6, 17, 0};
    uint32_t protocol = protocols[data[0] & 3];
    std::string line(reinterpret_cast<const char *>(data + 1), size - 1);

    uint32_t header = header_protocol(line);
    CHECK(header == 0 || header == 1 || header == 6 || header == 17, line);

    parsed_row row;
    const char *bad = parse_row(line, protocol, row);
    if (bad) {
        CHECK(strlen(bad) > 0, line);
        return 0;
    }
    const trace_layout::protocol_layout_t *layout = trace_layout::protocol_layout(protocol);
    CHECK(layout, line);
    for (std::string_view text : {row.function, row.device, row.smac, row.dmac, row.sip, row.dip}) {
        CHECK(inside(text, line), line);
        CHECK(text.find(' ') == std::string_view::npos, line);
    }
    CHECK(!row.function.empty(), line);
    CHECK(inside(row.other_info, line), line);
    for (size_t i = 0; i < 4; i++) {
        bool wide = protocol == 6 && (i == trace_layout::TCP_SEQ || i == trace_layout::TCP_ACK_SEQ);
        CHECK(i < layout->count || row.fields[i] == 0, line);
        CHECK(wide || row.fields[i] <= 65535, line);
    }

    std::string again = rendered(row, *layout);
    parsed_row back;
    CHECK(parse_row(again, protocol, back) == nullptr, again);
    CHECK(back.time == row.time && back.cpu == row.cpu && back.function == row.function &&
              back.device == row.device && back.smac == row.smac && back.dmac == row.dmac &&
              back.saddr == row.saddr && back.daddr == row.daddr &&
              memcmp(back.fields, row.fields, sizeof(row.fields)) == 0 && back.other_info == row.other_info,
          again);

    other_info_fields parts = split_other_info(row.other_info);
    for (std::string_view part : {parts.verdict, parts.hook, parts.table, parts.chain, parts.sock, parts.reason,
                                  parts.location, parts.unknown})
        CHECK(inside(part, line), line);
    return 0;
}
