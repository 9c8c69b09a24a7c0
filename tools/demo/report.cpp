#include "tools/demo/report.h"

#include <algorithm>
#include <cinttypes>

namespace demo {

namespace {

std::string Rate(uint64_t bytes, double seconds)
{
    return seconds > 0 ? Grouped(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) : "-";
}

std::string StateText(PortState state)
{
    switch (state) {
    case PortState::Opening: return "opening";
    case PortState::Ready: return "ready";
    case PortState::Running: return "running";
    case PortState::Done: return "done";
    case PortState::Gone: return "gone";
    case PortState::Failed: return "FAILED";
    }
    return "?";
}

} // namespace

std::string Grouped(uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

Table::Table(std::vector<std::string> headings, std::vector<bool> rightAligned)
    : Headings(std::move(headings)), RightAligned(std::move(rightAligned))
{
    RightAligned.resize(Headings.size(), false);
}

void Table::Add(std::vector<std::string> row)
{
    row.resize(Headings.size());
    Rows.push_back(std::move(row));
}

void Table::Print(std::FILE* out, const char* indent) const
{
    std::vector<size_t> widths;
    for (const std::string& heading : Headings) {
        widths.push_back(heading.size());
    }
    for (const auto& row : Rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text = indent;
        for (size_t i = 0; i < cells.size(); ++i) {
            const std::string pad(widths[i] - cells[i].size(), ' ');
            text += RightAligned[i] ? pad + cells[i] : cells[i] + (i + 1 == cells.size() ? "" : pad);
            if (i + 1 != cells.size()) {
                text += "  ";
            }
        }
        std::fprintf(out, "%s\n", text.c_str());
    };
    line(Headings);
    std::vector<std::string> rule;
    for (size_t width : widths) {
        rule.emplace_back(width, '-');
    }
    line(rule);
    for (const auto& row : Rows) {
        line(row);
    }
}

void ProgressView::Show(double seconds, const std::string& heading, const std::vector<std::string>& lines,
                        const std::string& plain, bool plainLines)
{
    if (!IsTerminal) {
        if (seconds - LastPlain >= 1.0) {
            LastPlain = seconds;
            std::fprintf(Out, "%s\n", plain.c_str());
            for (size_t i = 0; plainLines && i < lines.size(); ++i) {
                std::fprintf(Out, "%s\n", lines[i].c_str());
            }
            std::fflush(Out);
        }
        return;
    }
    // Back to the first line drawn, then every line cleared and written anew.
    if (Drawn != 0) {
        std::fprintf(Out, "\x1b[%zuA", Drawn);
    }
    std::fprintf(Out, "\r\x1b[2K%s\n", heading.c_str());
    for (const std::string& text : lines) {
        std::fprintf(Out, "\r\x1b[2K%s\n", text.c_str());
    }
    Drawn = lines.size() + 1;
    std::fflush(Out);
}

void ShowPorts(const std::vector<PortListing>& ports)
{
    Table table({"Port", "Name", "Description", "Location", "Hardware ID", "Status"});
    for (const PortListing& port : ports) {
        table.Add({std::to_string(port.Index), port.ComName.empty() ? "-" : port.ComName, port.Description,
                   port.Location, port.HardwareId, port.Status});
    }
    table.Print(stdout);
}

std::string ProgressLine(PortStats& stats, double seconds)
{
    char text[200];
    std::snprintf(text, sizeof text, "  %-6s %-6s  written %13s B  read %13s B  %11s B/s  failures %3" PRIu64
                  "  %s",
                  stats.ComName.c_str(), ChannelName(stats.Port), Grouped(stats.Accepted).c_str(),
                  Grouped(stats.Read).c_str(), Rate(stats.Read, seconds).c_str(),
                  static_cast<uint64_t>(stats.ExpectedFailures + stats.UnexpectedFailures),
                  StateText(stats.State).c_str());
    return text;
}

bool PrintSummary(const std::vector<std::unique_ptr<PortStats>>& stats, bool countsAcknowledgements,
                  const SummaryExtras& extras)
{
    std::printf("\nSummary:\n");
    std::vector<std::string> headings{"Port", "Name", "Channel", "Written (B)", "Read (B)"};
    auto addColumns = [&headings](const std::vector<std::string>& more) {
        headings.insert(headings.end(), more.begin(), more.end());
    };
    if (extras.Rates.Headings.empty()) {
        headings.push_back("Read (B/s)");
    }
    addColumns(extras.Rates.Headings);
    if (countsAcknowledgements) {
        headings.push_back("Acked chunks");
    }
    headings.insert(headings.end(), {"Short writes", "Failures exp/unexp", "Mismatches"});
    addColumns(extras.Counts.Headings);
    headings.push_back("Result");
    // Numbers right-aligned; the port, its names and the result read as text.
    std::vector<bool> rightAligned(headings.size(), true);
    rightAligned[0] = rightAligned[1] = rightAligned[2] = rightAligned.back() = false;
    Table summary(headings, rightAligned);
    bool clean = true;
    for (size_t i = 0; i < stats.size(); ++i) {
        const auto& entry = stats[i];
        auto addCells = [i](std::vector<std::string>& row, const SummaryColumns& columns) {
            std::vector<std::string> cells = i < columns.Rows.size() ? columns.Rows[i] : std::vector<std::string>{};
            cells.resize(columns.Headings.size());
            row.insert(row.end(), cells.begin(), cells.end());
        };
        const bool good = entry->Mismatches == 0 && entry->UnexpectedFailures == 0 && entry->Lost == 0 &&
                          entry->State != PortState::Failed;
        clean = clean && good;
        const double seconds = static_cast<double>(entry->ElapsedMs) / 1000.0;
        std::vector<std::string> row{std::to_string(entry->Port), entry->ComName, ChannelName(entry->Port),
                                     Grouped(entry->Accepted), Grouped(entry->Read)};
        if (extras.Rates.Headings.empty()) {
            row.push_back(Rate(entry->Read, seconds));
        }
        addCells(row, extras.Rates);
        if (countsAcknowledgements) {
            row.push_back(entry->Port >= kFirstAnsweredPort ? Grouped(entry->AckedChunks) : "(unanswered)");
        }
        row.insert(row.end(), {Grouped(entry->ShortWrites),
                               Grouped(entry->ExpectedFailures) + "/" + Grouped(entry->UnexpectedFailures),
                               Grouped(entry->Mismatches)});
        addCells(row, extras.Counts);
        row.push_back(!good ? "FAIL" : entry->State == PortState::Gone ? "ok, gone" : "ok");
        summary.Add(std::move(row));
    }
    summary.Print(stdout);

    for (const auto& entry : stats) {
        if (entry->ResentDelivered != 0) {
            std::printf("  %s: the bridge had taken %s bytes of chunks whose writes failed; they came back, and "
                        "again when written again (the far end got them twice)\n",
                        entry->ComName.c_str(), Grouped(entry->ResentDelivered).c_str());
        }
        for (const std::string& note : entry->Notes()) {
            std::printf("  %s: %s\n", entry->ComName.c_str(), note.c_str());
        }
    }
    return clean;
}

} // namespace demo
