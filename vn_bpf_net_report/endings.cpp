#include "endings.h"

#include <algorithm>

#include "path_order.h"
#include "trace_rows.h"

void settle_ending(report_state &state, journey &j)
{
    ending &e = j.end;
    e = {};
    if (std::any_of(j.rows.begin(), j.rows.end(), [](const trace_row &row) { return row.cut; })) {
        e.kind = ending_kind::unknown;
        return;
    }
    bool dropped = false, by_table = false;
    size_t end = j.rows.size(); // the drop row, or the end
    for (size_t i = j.rows.size(); i-- > 0;) {
        if (!place_of(state, j.rows[i].function).drop)
            continue;
        other_info_fields drop = split_other_info(state.names.text(j.rows[i].other_info));
        dropped = true;
        by_table = drop.reason == "NETFILTER_DROP";
        e.reason = state.names.id_or_none(drop.reason);
        e.function = state.names.id_or_none(drop.location);
        end = i;
        break;
    }
    for (size_t i = j.rows.size(); i-- > 0;) {
        function_place place = place_of(state, j.rows[i].function);
        if (place.walk_return && i > end)
            continue; // an nft walk returns after the drop it told
        if (place.walk_return) {
            by_table = by_table || tells_drop_verdict(state, j.rows[i]);
            if (!by_table)
                break;
            continue;
        }
        if (!place.walk_entry || !by_table)
            continue;
        other_info_fields walk = split_other_info(state.names.text(j.rows[i].other_info));
        dropped = true;
        e.hook = state.names.id_or_none(walk.hook);
        e.table = state.names.id_or_none(walk.table);
        e.chain = state.names.id_or_none(walk.chain);
        break;
    }
    if (!dropped)
        e.kind = ending_kind::ended, e.function = j.rows.back().function;
    else
        e.kind = e.hook != NO_NAME ? ending_kind::dropped_by_table : ending_kind::dropped;
}

std::string ending_sentence(const name_table &names, const std::vector<std::string> &hosts, const ending &e)
{
    auto known = [&](uint32_t id) { return id == NO_NAME ? std::string("?") : shown_text(names.text(id)); };
    switch (e.kind) {
    case ending_kind::unknown:
        return ENDING_UNKNOWN;
    case ending_kind::never_arrived:
        return "left " + shown_text(hosts[e.from_host]) + " at dev_hard_start_xmit, never seen at " +
               shown_text(hosts[e.to_host]);
    case ending_kind::dropped_by_table:
        return "dropped by table " + known(e.table) + (e.chain == NO_NAME ? "" : " chain " + known(e.chain)) +
               " at " + known(e.hook);
    case ending_kind::dropped:
        return "dropped at " + known(e.function) + ": " + known(e.reason);
    case ending_kind::ended:
        break;
    }
    return "ended at " + shown_text(names.text(e.function));
}
