#include "rig/windows_inf.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

namespace rig {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// Cuts a ';' comment that is not inside a quoted string. False when a quote
// is left open.
bool StripComment(const std::string& line, std::string& code)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            code = line.substr(0, i);
            return true;
        }
    }
    code = line;
    return !quoted;
}

// Position of the first `separator` outside quotes, npos if none.
size_t FindOutsideQuotes(const std::string& text, char separator, size_t from = 0)
{
    bool quoted = false;
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == separator && !quoted) {
            return i;
        }
    }
    return std::string::npos;
}

// Drops the quotes of a field; "" inside a quoted string stands for one quote.
std::string Unquote(const std::string& field)
{
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '"') {
            out += field[i];
        } else if (quoted && i + 1 < field.size() && field[i + 1] == '"') {
            out += '"';
            ++i;
        } else {
            quoted = !quoted;
        }
    }
    return out;
}

std::vector<std::string> SplitFields(const std::string& text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = FindOutsideQuotes(text, ',', start);
        fields.push_back(Unquote(Trim(text.substr(start, comma - start))));
        if (comma == std::string::npos) {
            return fields;
        }
        start = comma + 1;
    }
}

bool IsNumber(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Calls `visit` with the name inside each %name% token ("" for %%). False
// when a '%' has no partner.
bool ForEachToken(const std::string& text, const std::function<void(const std::string&)>& visit)
{
    for (size_t open = text.find('%'); open != std::string::npos; open = text.find('%', open)) {
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            return false;
        }
        visit(text.substr(open + 1, close - open - 1));
        open = close + 1;
    }
    return true;
}

bool IsStringsSection(const std::string& lowerName)
{
    return lowerName == "strings" || lowerName.rfind("strings.", 0) == 0;
}

} // namespace

InfFile InfFile::Load(const std::filesystem::path& path)
{
    std::ifstream file(path);
    if (!file) {
        InfFile inf;
        inf.SyntaxErrors.push_back("cannot read " + path.string());
        return inf;
    }
    std::stringstream text;
    text << file.rdbuf();
    return Parse(text.str());
}

InfFile InfFile::Parse(const std::string& text)
{
    InfFile inf;
    std::istringstream lines(text);
    std::string physical;
    bool inSection = false;
    std::string current;
    int number = 0;
    while (std::getline(lines, physical)) {
        ++number;
        const int first = number;
        std::string code;
        bool closed = StripComment(physical, code);
        code = Trim(code);
        // A backslash at the end of a line continues it on the next one.
        while (closed && !code.empty() && code.back() == '\\' && std::getline(lines, physical)) {
            ++number;
            std::string more;
            closed = StripComment(physical, more);
            code = Trim(code.substr(0, code.size() - 1) + " " + Trim(more));
        }
        const std::string where = "line " + std::to_string(first) + ": ";
        if (!closed) {
            inf.SyntaxErrors.push_back(where + "unterminated quoted string");
            continue;
        }
        if (code.empty()) {
            continue;
        }
        if (code.front() == '[') {
            if (code.back() != ']' || Trim(code.substr(1, code.size() - 2)).empty()) {
                inf.SyntaxErrors.push_back(where + "malformed section header " + code);
                inSection = false;
                continue;
            }
            // A section that appears again continues where it left off.
            current = Lower(Trim(code.substr(1, code.size() - 2)));
            inSection = true;
            inf.Sections[current];
            continue;
        }
        if (!inSection) {
            inf.SyntaxErrors.push_back(where + "entry outside any section: " + code);
            continue;
        }
        InfLine line;
        line.Number = first;
        const size_t equals = FindOutsideQuotes(code, '=');
        const std::string right = equals == std::string::npos ? code : Trim(code.substr(equals + 1));
        if (equals != std::string::npos) {
            line.Key = Unquote(Trim(code.substr(0, equals)));
            if (line.Key.empty()) {
                inf.SyntaxErrors.push_back(where + "'=' without a key");
            }
        }
        if (IsStringsSection(current)) {
            // A string's value is the whole right-hand side, commas included.
            if (line.Key.empty()) {
                inf.SyntaxErrors.push_back(where + "[Strings] entry without a key");
                continue;
            }
            line.Values = {Unquote(right)};
            inf.Strings[Lower(line.Key)] = line.Values[0];
        } else {
            line.Values = SplitFields(right);
        }
        inf.Sections[current].push_back(std::move(line));
    }
    return inf;
}

bool InfFile::HasSection(const std::string& name) const { return Sections.count(Lower(name)) != 0; }

const std::vector<InfLine>& InfFile::Section(const std::string& name) const
{
    static const std::vector<InfLine> none;
    const auto found = Sections.find(Lower(name));
    return found == Sections.end() ? none : found->second;
}

std::vector<std::string> InfFile::SectionNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : Sections) {
        names.push_back(entry.first);
    }
    return names;
}

std::string InfFile::Value(const std::string& section, const std::string& key) const
{
    for (const auto& line : Section(section)) {
        if (SameName(line.Key, key) && !line.Values.empty()) {
            return Expand(line.Values[0]);
        }
    }
    return {};
}

std::string InfFile::Expand(const std::string& text) const
{
    std::string out;
    size_t done = 0;
    for (size_t open = text.find('%'); open != std::string::npos; open = text.find('%', done)) {
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            break;
        }
        const std::string name = text.substr(open + 1, close - open - 1);
        out += text.substr(done, open - done);
        const auto found = Strings.find(Lower(name));
        if (name.empty()) {
            out += '%';
        } else if (found != Strings.end()) {
            out += found->second;
        } else {
            out += text.substr(open, close - open + 1);
        }
        done = close + 1;
    }
    return out + text.substr(std::min(done, text.size()));
}

std::vector<InfModel> InfFile::Models() const
{
    std::vector<InfModel> models;
    for (const auto& manufacturer : Section("Manufacturer")) {
        if (manufacturer.Values.empty()) {
            continue;
        }
        std::vector<std::string> names;
        for (size_t i = 1; i < manufacturer.Values.size(); ++i) {
            names.push_back(manufacturer.Values[0] + "." + manufacturer.Values[i]);
        }
        if (names.empty()) {
            names.push_back(manufacturer.Values[0]);
        }
        for (const auto& name : names) {
            for (const auto& line : Section(name)) {
                InfModel model;
                model.Description = Expand(line.Key);
                model.InstallSection = line.Values.empty() ? "" : line.Values[0];
                for (size_t i = 1; i < line.Values.size(); ++i) {
                    model.HardwareIds.push_back(Expand(line.Values[i]));
                }
                models.push_back(std::move(model));
            }
        }
    }
    return models;
}

std::string InfFile::InstallSectionFor(const std::string& name) const
{
    for (const auto& candidate : {name + ".NTamd64", name + ".NT", name}) {
        if (HasSection(candidate)) {
            return candidate;
        }
    }
    return {};
}

std::vector<std::string> InfFile::Problems() const
{
    std::vector<std::string> problems = SyntaxErrors;
    for (const auto& list : {UndefinedStrings(), MissingReferences()}) {
        problems.insert(problems.end(), list.begin(), list.end());
    }
    return problems;
}

std::vector<std::string> InfFile::UndefinedStrings() const
{
    std::vector<std::string> problems;
    for (const auto& [name, lines] : Sections) {
        if (IsStringsSection(name)) {
            continue;
        }
        for (const auto& line : lines) {
            const std::string where = "line " + std::to_string(line.Number) + ": ";
            std::vector<std::string> texts = line.Values;
            texts.push_back(line.Key);
            for (const auto& text : texts) {
                const bool paired = ForEachToken(text, [&](const std::string& token) {
                    if (!token.empty() && !IsNumber(token) && Strings.count(Lower(token)) == 0) {
                        problems.push_back(where + "%" + token + "% is not defined in [Strings]");
                    }
                });
                if (!paired) {
                    problems.push_back(where + "unpaired '%' in " + text);
                }
            }
        }
    }
    return problems;
}

std::vector<std::string> InfFile::MissingReferences() const
{
    std::vector<std::string> problems;
    auto require = [&](const InfLine& line, const std::string& section) {
        if (!section.empty() && !HasSection(section)) {
            problems.push_back("line " + std::to_string(line.Number) + ": section [" + section + "] is missing");
        }
    };
    auto hasKey = [this](const std::string& section, const std::string& key) {
        for (const auto& name : {section, section + ".amd64"}) {
            for (const auto& line : Section(name)) {
                if (SameName(line.Key, key)) {
                    return true;
                }
            }
        }
        return false;
    };

    for (const auto& manufacturer : Section("Manufacturer")) {
        for (size_t i = 1; i < manufacturer.Values.size(); ++i) {
            require(manufacturer, manufacturer.Values[0] + "." + manufacturer.Values[i]);
        }
        if (manufacturer.Values.size() == 1) {
            require(manufacturer, manufacturer.Values[0]);
        }
    }
    for (const auto& model : Models()) {
        if (InstallSectionFor(model.InstallSection).empty()) {
            problems.push_back("install section [" + model.InstallSection + "] is missing");
        }
    }
    for (const auto& line : Section("DestinationDirs")) {
        if (!SameName(line.Key, "DefaultDestDir")) {
            require(line, line.Key);
        }
    }
    const char* const sectionLists[] = {"CopyFiles", "AddReg",   "DelReg",   "AddProperty",
                                        "DelProperty", "DelFiles", "RenFiles", "BitReg"};
    for (const auto& [name, lines] : Sections) {
        for (const auto& line : lines) {
            const auto& v = line.Values;
            if (SameName(line.Key, "AddService") && v.size() >= 3) {
                require(line, v[2]);
                if (v.size() >= 4) {
                    require(line, v[3]);
                }
            } else if (SameName(line.Key, "KmdfService") && v.size() >= 2) {
                require(line, v[1]);
            } else if (SameName(line.Key, "AddInterface") && v.size() >= 3) {
                require(line, v[2]);
            }
            const bool listsSections = std::any_of(std::begin(sectionLists), std::end(sectionLists),
                                                   [&](const char* key) { return SameName(line.Key, key); });
            if (!listsSections) {
                continue;
            }
            for (const auto& entry : v) {
                if (!entry.empty() && entry.front() != '@') {
                    require(line, entry);
                }
            }
            if (!SameName(line.Key, "CopyFiles")) {
                continue;
            }
            // Every file copied comes from a listed source disk.
            std::vector<std::string> files;
            for (const auto& entry : v) {
                if (!entry.empty() && entry.front() == '@') {
                    files.push_back(entry.substr(1));
                    continue;
                }
                for (const auto& fileLine : Section(entry)) {
                    // destination[,source]: the source is named as the destination unless given
                    const auto& f = fileLine.Values;
                    files.push_back(f.size() > 1 && !f[1].empty() ? f[1] : f[0]);
                }
            }
            for (const auto& file : files) {
                if (!hasKey("SourceDisksFiles", file)) {
                    problems.push_back("line " + std::to_string(line.Number) + ": " + file +
                                       " is copied but not listed in [SourceDisksFiles]");
                }
            }
        }
    }
    for (const auto& name : {std::string("SourceDisksFiles"), std::string("SourceDisksFiles.amd64")}) {
        for (const auto& line : Section(name)) {
            if (line.Values.empty() || !hasKey("SourceDisksNames", line.Values[0])) {
                problems.push_back("line " + std::to_string(line.Number) + ": " + line.Key +
                                   " names no disk of [SourceDisksNames]");
            }
        }
    }
    return problems;
}

std::filesystem::path PackageInfPath(const std::string& driver)
{
    return std::filesystem::path(OMBREL_SOURCE_DIR) / "windows" / driver / (driver + ".inf");
}

std::vector<std::string> PackageHardwareIds(const std::string& driver)
{
    std::vector<std::string> ids;
    for (const auto& model : InfFile::Load(PackageInfPath(driver)).Models()) {
        ids.insert(ids.end(), model.HardwareIds.begin(), model.HardwareIds.end());
    }
    return ids;
}

} // namespace rig
