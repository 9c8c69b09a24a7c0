#include "tools/demo/report.h"

#include <algorithm>

namespace demo {

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
                        const std::string& plain)
{
    if (!IsTerminal) {
        if (seconds - LastPlain >= 1.0) {
            LastPlain = seconds;
            std::fprintf(Out, "%s\n", plain.c_str());
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

} // namespace demo
