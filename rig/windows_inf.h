// A small reader of the Windows driver package's INF files (windows/), so that
// programs and tests install the drivers on the hardware IDs the INFs name
// instead of repeating them, and the tests can check the INFs on Linux.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace rig {

struct InfLine {
    int Number = 0;                   // in the file, for messages
    std::string Key;                  // left of '=', unquoted; empty when the line has no '='
    std::vector<std::string> Values;  // the comma-separated fields, trimmed and unquoted
};

struct InfModel {
    std::string Description;  // %strings% substituted
    std::string InstallSection;
    std::vector<std::string> HardwareIds;
};

class InfFile {
public:
    static InfFile Load(const std::filesystem::path& path);
    static InfFile Parse(const std::string& text);

    // Section names are case-insensitive, as Windows reads them.
    bool HasSection(const std::string& name) const;
    const std::vector<InfLine>& Section(const std::string& name) const;  // empty when absent
    std::vector<std::string> SectionNames() const;                        // lower case
    // The first value of `key` in `section`, %strings% substituted; "" when absent.
    std::string Value(const std::string& section, const std::string& key) const;
    // Replaces %strkey% with its [Strings] value; %% is a percent sign and a
    // numeric %dirid% stays as it is.
    std::string Expand(const std::string& text) const;

    // The device entries of every models section that [Manufacturer] names.
    std::vector<InfModel> Models() const;
    // The section Windows uses for an install section on x64: the .NTamd64 or
    // .NT decoration if present, else the name itself; "" when none exists.
    std::string InstallSectionFor(const std::string& name) const;

    // Syntax errors, %strings% that [Strings] does not define, sections that a
    // directive names but the file lacks, and copied files without a source
    // disk; one message each, empty for a sound file.
    std::vector<std::string> Problems() const;

private:
    std::vector<std::string> UndefinedStrings() const;
    std::vector<std::string> MissingReferences() const;

    std::vector<std::string> SyntaxErrors;
    std::map<std::string, std::vector<InfLine>> Sections;  // by lower-case name
    std::map<std::string, std::string> Strings;            // by lower-case key
};

// The repository's INF of a driver package ("OmbrelBus", "OmbrelPort").
std::filesystem::path PackageInfPath(const std::string& driver);
// Every hardware ID that the package's INF installs its driver on, in file order.
std::vector<std::string> PackageHardwareIds(const std::string& driver);

} // namespace rig
