// Each row's step: its function, and for a table walk and its return the
// hook walked.
#pragma once

#include <string>

#include "report_state.h"

// Gives each of the journey's rows its step.
void name_steps(report_state &state, journey &j);

// The step as paths and stages name it: "ip_rcv", "ipt_do_table@LOCAL_IN"
// (the hook without its NF_INET_), the host left to the writers.
std::string step_name(const report_state &state, const step &s);

// A row's device as shown: "eth0", or "eth0@4026532281" where rows of the
// run showed that name in more than one network namespace.
std::string device_text(const report_state &state, const trace_row &row);
// The namespace to name with the row's device, or 0.
uint32_t shown_netns(const report_state &state, const trace_row &row);
