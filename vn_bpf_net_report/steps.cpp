#include "steps.h"

#include "path_order.h"
#include "trace_rows.h"

void name_steps(report_state &state, journey &j)
{
    j.steps.resize(j.rows.size());
    uint32_t walk = UINT32_MAX; // the step of the last walk entry
    for (size_t i = 0; i < j.rows.size(); i++) {
        const trace_row &row = j.rows[i];
        function_place place = place_of(state, row.function);
        uint32_t &step_id = j.steps[i];
        if (place.walk_entry) {
            auto [at, made] = state.walk_steps.try_emplace(uint64_t(row.function) << 32 | row.other_info, 0);
            if (made) {
                std::string_view hook = split_other_info(state.names.text(row.other_info)).hook;
                at->second = state.steps.id({row.function, state.names.id_or_none(hook)});
            }
            step_id = walk = at->second;
        } else if (place.walk_return && walk != UINT32_MAX) {
            // A return is at the hook of the walk it ends.
            auto [at, made] = state.walk_steps.try_emplace(uint64_t(row.function) << 32 | walk, 0);
            if (made)
                at->second = state.steps.id({row.function, state.steps.get(walk).hook});
            step_id = at->second;
        } else {
            step_id = state.steps.id_of_function(row.function);
        }
    }
}

std::string step_name(const report_state &state, const step &s)
{
    constexpr std::string_view INET = "NF_INET_";
    std::string name(state.names.text(s.function));
    if (s.hook == NO_NAME)
        return name;
    std::string_view hook = state.names.text(s.hook);
    if (hook.substr(0, INET.size()) == INET)
        hook.remove_prefix(INET.size());
    return name.append("@").append(hook);
}

uint32_t shown_netns(const report_state &state, const trace_row &row)
{
    bool many = row.device < state.netns_of_device.size() && state.netns_of_device[row.device].many;
    return many ? row.netns : 0;
}

std::string device_text(const report_state &state, const trace_row &row)
{
    std::string text = shown_text(state.names.text(row.device));
    if (uint32_t netns = shown_netns(state, row))
        text += "@" + std::to_string(netns);
    return text;
}
