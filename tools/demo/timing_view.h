// ombrel-demo's view of the bridge model's timing mode: each port's rate
// beside its line rate and the limit the model's rules give on paper, the
// model's own counts in the summary, and the verdict on lost bytes.
//
// Rates are bytes per second of kernel time, the model's clock: a rate
// measured in real time is multiplied by the time scale (real seconds per
// kernel second) before it stands beside the model's figures.
#pragma once

#include "bridge/bridge_model.h"
#include "tools/demo/port_worker.h"
#include "tools/demo/report.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace demo {

// The limit on paper for `port` while the `active` ports stream (the port
// itself counted whether listed or not): ports 2 to 7 each take an answered
// turn on the command channel, ports 0 and 1 an unanswered one at their rate.
double PaperLimit(const bridge::TimingReport& report, unsigned port, const std::vector<unsigned>& active);

// The live view's figures for one port: `rate` bytes per kernel second now.
std::string LiveTimingFigures(const bridge::TimingReport& report, unsigned port, double rate,
                              const std::vector<unsigned>& active);

// The summary's line rate, paper limit and measured rate (all chosen ports
// streaming), and the busy writes and the model's lost and NAKed counts.
SummaryExtras TimingColumns(const bridge::TimingReport& report,
                            const std::vector<std::unique_ptr<PortStats>>& stats, double timeScale);

// A byte the model lost is a failure of the port it was lost on: noted there
// before the summary, so that its row fails and says why. False when any
// channel lost a byte.
bool NoteLostBytes(const bridge::TimingReport& report, const std::vector<std::unique_ptr<PortStats>>& stats);

// The lines under the summary: the model, the time scale, the late
// deliveries and what they mean, and any byte lost on a channel.
void PrintTimingReport(std::FILE* out, const bridge::TimingReport& report, double timeScale);

} // namespace demo
