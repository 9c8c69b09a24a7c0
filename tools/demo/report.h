// Text output of the traffic check: aligned tables, the port list, the live
// progress view and the summary.
#pragma once

#include "tools/demo/port_worker.h"
#include "tools/demo/test_bed.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace demo {

// 1234567 as "1,234,567".
std::string Grouped(uint64_t value);

// Columns sized to their widest cell; numbers are right-aligned.
class Table {
public:
    explicit Table(std::vector<std::string> headings, std::vector<bool> rightAligned = {});
    void Add(std::vector<std::string> row);
    void Print(std::FILE* out, const char* indent = "  ") const;

private:
    std::vector<std::string> Headings;
    std::vector<bool> RightAligned;
    std::vector<std::vector<std::string>> Rows;
};

// One line per port redrawn in place on a terminal; on anything else a plain
// summary line every second.
class ProgressView {
public:
    ProgressView(std::FILE* out, bool terminal) : Out(out), IsTerminal(terminal) {}
    // `heading` above `lines` on a terminal; `plain` is the line otherwise,
    // with `lines` below it when `plainLines`.
    void Show(double seconds, const std::string& heading, const std::vector<std::string>& lines,
              const std::string& plain, bool plainLines = false);
    bool Terminal() const { return IsTerminal; }

private:
    std::FILE* Out;
    bool IsTerminal;
    size_t Drawn = 0;
    double LastPlain = 0;
};

// The ports as Device Manager lists them.
void ShowPorts(const std::vector<PortListing>& ports);

// One port's line of the live view, `seconds` into the run.
std::string ProgressLine(PortStats& stats, double seconds);

// Right-aligned columns a bed adds to the summary: one row of cells per port,
// in the order of the stats.
struct SummaryColumns {
    std::vector<std::string> Headings;
    std::vector<std::vector<std::string>> Rows;
};

// The timed model's columns: `Rates` in place of the read rate per real
// second, `Counts` before the result.
struct SummaryExtras {
    SummaryColumns Rates;
    SummaryColumns Counts;
};

// The summary table and every port's notes; true when every port passed.
// Without acknowledgement counts the table has no column for them.
bool PrintSummary(const std::vector<std::unique_ptr<PortStats>>& stats, bool countsAcknowledgements,
                  const SummaryExtras& extras = {});

} // namespace demo
