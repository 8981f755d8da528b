#include "line_intake.h"

#include <charconv>

namespace {

// "# lost N samples on CPU C between T1 and T2", whole, numbers in decimal.
bool parse_loss(std::string_view line, loss_window &loss)
{
    auto literal = [&](std::string_view word) {
        if (line.substr(0, word.size()) != word)
            return false;
        line.remove_prefix(word.size());
        return true;
    };
    auto number = [&](auto &value) {
        auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
        if (error != std::errc() || end == line.data())
            return false;
        line.remove_prefix(size_t(end - line.data()));
        return true;
    };
    return literal("# lost ") && number(loss.samples) && literal(" samples on CPU ") && number(loss.cpu) &&
           loss.cpu >= 0 && literal(" between ") && number(loss.from) && literal(" and ") && number(loss.to) &&
           line.empty() && loss.from <= loss.to;
}

} // namespace

line_kind parse_line(std::string_view line, uint64_t line_no, uint32_t protocol, uint32_t *header, parsed_row &row,
                     const char **bad, loss_window *loss)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line_no != 1 && !line.empty() && line[0] == '#') {
        *header = 0;
        if (line.substr(0, 7) != "# lost ")
            return line_kind::blank;
        if (parse_loss(line, *loss))
            return line_kind::loss;
        *bad = "loss line";
        return line_kind::unreadable;
    }
    // A header starts with a label (TIME), a row with a number.
    *header = line_no == 1 || line.empty() || !(line[0] >= '0' && line[0] <= '9') ? header_protocol(line) : 0;
    if (line_no == 1 || *header)
        return *header ? line_kind::header : line_kind::no_header;
    if (line.empty() || (line[0] == ' ' && line.find_first_not_of(' ') == std::string_view::npos))
        return line_kind::blank;
    return (*bad = parse_row(line, protocol, row)) ? line_kind::unreadable : line_kind::row;
}

trace_row row_of(name_table &names, row_names &caches, const parsed_row &parsed, uint64_t line_no)
{
    uint32_t saddr = parsed.saddr, daddr = parsed.daddr;
    if (parsed.ipv6) {
        auto bytes = [](const uint8_t *addr) { return std::string_view(reinterpret_cast<const char *>(addr), 16); };
        saddr = caches.addresses.id(names, bytes(parsed.saddr6));
        daddr = caches.addresses.id(names, bytes(parsed.daddr6));
    }
    return {parsed.time,
            uint32_t(line_no),
            parsed.cpu,
            caches.functions.id(names, parsed.function),
            caches.devices.id(names, parsed.device),
            caches.smacs.id(names, parsed.smac),
            caches.dmacs.id(names, parsed.dmac),
            caches.other_infos.id(names, parsed.other_info),
            saddr,
            daddr,
            {parsed.fields[0], parsed.fields[1], parsed.fields[2], parsed.fields[3]},
            false,
            parsed.ipv6,
            parsed.packet,
            parsed.netns};
}
