// The Windows driver package (windows/) checked from Linux: the INFs are sound
// and install on what the drivers really are, and the Visual Studio projects
// build exactly the driver sources that the host build compiles, in place.
#include "bridge/bridge_model.h"
#include "rig/bus_rig.h"
#include "rig/windows_inf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using rig::InfFile;

const fs::path Root = OMBREL_SOURCE_DIR;

struct Package {
    std::string Driver;     // the project, its folder under windows/ and its INF
    std::string Folder;     // the driver's own sources
    std::string Class;      // the INF's setup class
    std::string ClassGuid;
};

const Package Packages[] = {
    {"OmbrelBus", "bus", "MultiportSerial", "{50906cb8-ba12-11d1-bf5d-0000f805f530}"},
    {"OmbrelPort", "port", "Ports", "{4D36E978-E325-11CE-BFC1-08002BE10318}"},
};

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path);
    EXPECT_TRUE(file) << "cannot read " << path;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& line : lines) {
        out += "\n  " + line;
    }
    return out;
}

std::vector<std::string> Matches(const std::string& text, const std::string& pattern, size_t group = 1)
{
    std::vector<std::string> found;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[group]);
    }
    return found;
}

// A Visual Studio project, read as far as these checks need.
class Project {
public:
    explicit Project(const std::string& driver)
        : Directory(Root / "windows" / driver), Text(ReadText(Directory / (driver + ".vcxproj")))
    {
    }

    // Every value the project gives the property, one per group that sets it.
    std::vector<std::string> Property(const std::string& name) const
    {
        return Matches(Text, "<" + name + "(?:\\s[^>]*)?>([^<]*)</" + name + ">");
    }

    std::string Single(const std::string& name) const
    {
        const auto values = Property(name);
        EXPECT_EQ(values.size(), 1u) << name;
        return values.empty() ? "" : values[0];
    }

    // Repository-relative paths of the items of one kind (ClCompile, Inf, ...),
    // or of every item that names a file rather than a build macro.
    std::set<std::string> Items(const std::string& kind = "\\w+") const
    {
        std::set<std::string> paths;
        for (const auto& path : Matches(Text, "<(?!ProjectConfiguration)" + kind + "\\s+Include=\"([^\"]*)\"")) {
            if (path.rfind("$(", 0) != 0) {
                paths.insert(FromProject(path));
            }
        }
        return paths;
    }

    std::string FromProject(std::string path) const
    {
        std::replace(path.begin(), path.end(), '\\', '/');
        return (Directory / path).lexically_normal().lexically_relative(Root).generic_string();
    }

    const fs::path Directory;
    const std::string Text;
};

// The driver files of common/ and one driver folder with one extension, as
// the host build finds them.
std::set<std::string> DriverFiles(const std::string& folder, const std::string& extension)
{
    std::set<std::string> files;
    for (const auto& directory : {std::string("common"), folder}) {
        for (const auto& entry : fs::directory_iterator(Root / directory)) {
            if (entry.path().extension() == extension) {
                files.insert(directory + "/" + entry.path().filename().string());
            }
        }
    }
    return files;
}

// The files that an install section's CopyFiles directives copy.
std::set<std::string> CopiedFiles(const InfFile& inf, const std::string& installSection)
{
    std::set<std::string> files;
    for (const auto& line : inf.Section(installSection)) {
        if (Lower(line.Key) == "copyfiles") {
            for (const auto& list : line.Values) {
                for (const auto& file : inf.Section(list)) {
                    files.insert(file.Values[0]);
                }
            }
        }
    }
    return files;
}

// The bus driver, as its module, brought up against the bridge model until it
// has created its children, so that the port INF can be compared with what
// the code creates.
std::vector<host::ChildIdentity> ChildrenTheBusDriverCreates()
{
    bridge::BridgeModel model;
    rig::BusRig bus(model);
    EXPECT_EQ(bus.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(bus.Settle());
    return bus.Children();
}

TEST(WindowsPackage, InfReaderFindsTheFaultsItChecksFor)
{
    const auto inf = InfFile::Parse(
        "stray = 1\n"
        "[Version]\n"
        "Signature = \"$WINDOWS NT$\"  ; a comment\n"
        "Provider = %Nobody%\n"
        "[Manufacturer]\n"
        "%Maker% = Models, NTamd64\n"
        "[Models.NTamd64]\n"
        "%Device% = Install, \\\n"
        "    ROOT\\THING\n"
        "[Install.NT]\n"
        "CopyFiles = Files, NoSuchList\n"
        "[Files]\n"
        "thing.sys\n"
        "[Strings]\n"
        "Maker = \"Maker, \"\"Inc\"\"\"\n"
        "Device = \"Thing\n");

    EXPECT_EQ(inf.Value("Version", "Signature"), "$WINDOWS NT$");
    ASSERT_EQ(inf.Models().size(), 1u);
    EXPECT_EQ(inf.Models()[0].HardwareIds, std::vector<std::string>{"ROOT\\THING"});
    EXPECT_EQ(inf.Expand("%Maker%"), "Maker, \"Inc\"");

    const std::string problems = Join(inf.Problems());
    for (const char* fault : {"line 1: entry outside any section", "line 4: %Nobody% is not defined",
                              "[NoSuchList] is missing", "thing.sys is copied but not listed",
                              "line 16: unterminated quoted string"}) {
        EXPECT_NE(problems.find(fault), std::string::npos) << "not reported: " << fault << problems;
    }
}

TEST(WindowsPackage, InfsAreSoundAndReferenceOnlyWhatTheyDefine)
{
    for (const auto& package : Packages) {
        const auto inf = InfFile::Load(rig::PackageInfPath(package.Driver));
        EXPECT_TRUE(inf.Problems().empty()) << package.Driver << ".inf:" << Join(inf.Problems());
        EXPECT_FALSE(inf.Models().empty()) << package.Driver;
    }
}

TEST(WindowsPackage, InfsInstallUniversalKmdfDriversThatRunFromTheDriverStore)
{
    for (const auto& package : Packages) {
        SCOPED_TRACE(package.Driver);
        const auto inf = InfFile::Load(rig::PackageInfPath(package.Driver));
        const Project project(package.Driver);
        const std::string target = project.Single("TargetName");
        const std::string binary = target + ".sys";

        EXPECT_EQ(inf.Value("Version", "Signature"), "$WINDOWS NT$");
        EXPECT_EQ(inf.Value("Version", "Class"), package.Class);
        EXPECT_EQ(Lower(inf.Value("Version", "ClassGuid")), Lower(package.ClassGuid));
        EXPECT_FALSE(inf.Value("Version", "Provider").empty());
        EXPECT_EQ(inf.Value("Version", "CatalogFile"), target + ".cat");
        EXPECT_EQ(inf.Value("Version", "PnpLockdown"), "1");
        EXPECT_EQ(inf.Value("DestinationDirs", "DefaultDestDir"), "13");

        // Nothing a universal INF may not hold: no co-installer or class
        // installer, and registry writes only below the device's own keys.
        for (const auto& name : inf.SectionNames()) {
            EXPECT_FALSE(name == "classinstall32" || name.find(".coinstallers") != std::string::npos) << name;
            for (const auto& line : inf.Section(name)) {
                if (Lower(line.Key) == "addreg") {
                    for (const auto& list : line.Values) {
                        for (const auto& entry : inf.Section(list)) {
                            EXPECT_EQ(entry.Values[0], "HKR") << "[" << list << "] line " << entry.Number;
                        }
                    }
                }
            }
        }

        for (const auto& model : inf.Models()) {
            SCOPED_TRACE(model.Description);
            const std::string install = inf.InstallSectionFor(model.InstallSection);
            EXPECT_EQ(CopiedFiles(inf, install), std::set<std::string>{binary});

            const auto& services = inf.Section(install + ".Services");
            ASSERT_EQ(services.size(), 1u);
            const auto& addService = services[0].Values;
            ASSERT_EQ(addService.size(), 3u);
            EXPECT_EQ(addService[0], target);
            EXPECT_EQ(std::stoul(inf.Expand(addService[1]), nullptr, 0), 2u) << "the function driver's service";
            EXPECT_EQ(inf.Value(addService[2], "ServiceType"), "1");
            EXPECT_EQ(inf.Value(addService[2], "StartType"), "3");
            EXPECT_EQ(inf.Value(addService[2], "ErrorControl"), "1");
            EXPECT_EQ(inf.Value(addService[2], "ServiceBinary"), "%13%\\" + binary);

            const auto& wdf = inf.Section(install + ".Wdf");
            ASSERT_EQ(wdf.size(), 1u);
            ASSERT_EQ(wdf[0].Values.size(), 2u);
            EXPECT_EQ(Lower(wdf[0].Key), "kmdfservice");
            EXPECT_EQ(wdf[0].Values[0], target);
            EXPECT_EQ(inf.Value(wdf[0].Values[1], "KmdfLibraryVersion"),
                      project.Single("KMDF_VERSION_MAJOR") + "." + project.Single("KMDF_VERSION_MINOR"));
        }
    }
}

// The COM port's security is the package's, not the system's default, and
// the bus-only IDs stay out of the manual driver picker.
TEST(WindowsPackage, PortInfSetsTheDeviceSecurityAndHidesItsIdsFromThePicker)
{
    const auto inf = InfFile::Load(rig::PackageInfPath("OmbrelPort"));
    EXPECT_EQ(inf.Value("ControlFlags", "ExcludeFromSelect"), "*");
    for (const auto& model : inf.Models()) {
        SCOPED_TRACE(model.Description);
        const std::string install = inf.InstallSectionFor(model.InstallSection);
        const std::string addReg = inf.Value(install + ".HW", "AddReg");
        ASSERT_FALSE(addReg.empty()) << "no [" << install << ".HW] AddReg";
        std::string security;
        unsigned long characteristics = 0;
        for (const auto& entry : inf.Section(addReg)) {
            ASSERT_EQ(entry.Values.size(), 5u) << "[" << addReg << "] line " << entry.Number;
            if (entry.Values[2] == "Security") {
                security = inf.Expand(entry.Values[4]);
            } else if (entry.Values[2] == "DeviceCharacteristics") {
                EXPECT_EQ(std::stoul(inf.Expand(entry.Values[3]), nullptr, 0), 0x10001ul) << "a DWORD value";
                characteristics = std::stoul(inf.Expand(entry.Values[4]), nullptr, 0);
            }
        }
        EXPECT_EQ(security.rfind("D:P(A;;GA;;;SY)", 0), 0u) << security;
        EXPECT_NE(characteristics & 0x100ul, 0ul) << "FILE_DEVICE_SECURE_OPEN";
    }
}

TEST(WindowsPackage, PortInfServesExactlyTheChildrenTheBusDriverCreates)
{
    const auto children = ChildrenTheBusDriverCreates();
    ASSERT_EQ(children.size(), size_t{bridge::wire::kPortCount});

    std::multiset<std::string> created;
    std::map<std::string, std::string> descriptions;
    for (const auto& child : children) {
        for (const auto& id : child.HardwareIds) {
            created.insert(id);
            descriptions[id] = child.Description;
        }
    }
    std::multiset<std::string> served;
    for (const auto& model : InfFile::Load(rig::PackageInfPath("OmbrelPort")).Models()) {
        for (const auto& id : model.HardwareIds) {
            served.insert(id);
            EXPECT_EQ(model.Description, descriptions[id]) << id;
        }
    }
    EXPECT_EQ(served, created);
}

TEST(WindowsPackage, BridgeUsbIdIsAPlaceholderKeptInTheBusInfAlone)
{
    const auto ids = rig::PackageHardwareIds("OmbrelBus");
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_TRUE(std::regex_match(ids[0], std::regex("USB\\\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}"))) << ids[0];

    // Programs and tests take it from the INF, so a vendor changes it there only.
    const std::string vidPid = Lower(ids[0].substr(ids[0].find('\\') + 1));
    const std::set<std::string> readable = {".cpp", ".h", ".txt", ".cmake", ".md", ".inf", ".sh", ".py", ".vcxproj"};
    for (const auto& top : fs::directory_iterator(Root)) {
        const std::string name = top.path().filename().string();
        if (!top.is_directory() || name == "build" || name == ".git") {
            continue;
        }
        for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
            if (!entry.is_regular_file() || readable.count(entry.path().extension().string()) == 0 ||
                fs::equivalent(entry.path(), rig::PackageInfPath("OmbrelBus"))) {
                continue;
            }
            EXPECT_EQ(Lower(ReadText(entry.path())).find(vidPid), std::string::npos)
                << entry.path() << " repeats the bridge's USB ID";
        }
    }
}

TEST(WindowsPackage, ProjectsCompileExactlyTheHostBuildsDriverSourcesInPlace)
{
    for (const auto& package : Packages) {
        SCOPED_TRACE(package.Driver);
        const Project project(package.Driver);
        const std::string inf = "windows/" + package.Driver + "/" + package.Driver + ".inf";

        const auto sources = project.Items("ClCompile");
        EXPECT_EQ(sources, DriverFiles(package.Folder, ".cpp"));
        EXPECT_EQ(project.Items("ClInclude"), DriverFiles(package.Folder, ".h"));
        EXPECT_EQ(project.Items("Inf"), std::set<std::string>{inf});

        for (const auto& path : project.Items()) {
            const bool driverCode = path.rfind("common/", 0) == 0 || path.rfind(package.Folder + "/", 0) == 0;
            EXPECT_TRUE(driverCode || path == inf) << path << " is neither driver code nor the project's INF";
        }
        // The compiler names each object after its source file, in one folder.
        std::set<std::string> objects;
        for (const auto& source : sources) {
            EXPECT_TRUE(objects.insert(fs::path(source).stem().string()).second) << source << " shares its name";
        }

        std::set<std::string> includes;
        for (const auto& value : project.Property("AdditionalIncludeDirectories")) {
            for (const auto& directory : Matches(value, "([^;]+)")) {
                if (directory.rfind("%(", 0) != 0) {
                    includes.insert(project.FromProject(directory));
                }
            }
        }
        EXPECT_EQ(includes, (std::set<std::string>{"common", package.Folder}));
    }
}

TEST(WindowsPackage, ProjectsBuildKmdf115UniversalDriversWithTheWdksChecksOn)
{
    const std::pair<const char*, const char*> settings[] = {
        {"ConfigurationType", "Driver"},
        {"DriverType", "KMDF"},
        {"KMDF_VERSION_MAJOR", "1"},
        {"KMDF_VERSION_MINOR", "15"},
        {"TargetVersion", "Windows10"},
        {"PlatformToolset", "WindowsKernelModeDriver10.0"},
        {"DriverTargetPlatform", "Universal"},
        {"LanguageStandard", "stdcpp17"},
        {"WarningLevel", "Level4"},
        {"TreatWarningAsError", "true"},
        {"RunCodeAnalysis", "true"},
        {"Driver_SpectreMitigation", "Spectre"},
        // StampInf writes the local date, so Inf2Cat must check it in local
        // time; and every build gets a newer DriverVer version, so pnputil
        // replaces an installed driver with the one just built.
        {"Inf2CatUseLocalTime", "true"},
        {"TimeStamp", "*"},
    };
    for (const auto& package : Packages) {
        SCOPED_TRACE(package.Driver);
        const Project project(package.Driver);
        for (const auto& [name, value] : settings) {
            const auto values = project.Property(name);
            EXPECT_FALSE(values.empty()) << name << " is not set";
            for (const auto& set : values) {
                EXPECT_EQ(set, value) << name;
            }
        }
        // Not a WDK property: MSBuild would ignore it silently.
        EXPECT_TRUE(project.Property("SpectreMitigation").empty());
        // Code Analysis reports its findings as warnings without failing the
        // build that warnings-as-errors would otherwise stop.
        const auto options = project.Property("AdditionalOptions");
        EXPECT_TRUE(std::any_of(options.begin(), options.end(),
                                [](const std::string& o) { return o.find("/analyze:WX-") != std::string::npos; }))
            << "/analyze:WX- is not passed to the compiler";
        EXPECT_EQ(Matches(project.Text, "<ProjectConfiguration\\s+Include=\"([^\"]*)\""),
                  (std::vector<std::string>{"Debug|x64", "Release|x64"}));
    }
}

// One package for one device: the bus INF stages the port INF beside it, and
// the package project gathers both drivers into the one folder it signs.
TEST(WindowsPackage, OnePackageProjectShipsBothDriversAndTheBusInfStagesThePorts)
{
    const auto bus = InfFile::Load(rig::PackageInfPath("OmbrelBus"));
    for (const auto& model : bus.Models()) {
        SCOPED_TRACE(model.Description);
        std::vector<std::string> copied;
        for (const auto& line : bus.Section(bus.InstallSectionFor(model.InstallSection))) {
            if (Lower(line.Key) == "copyinf") {
                copied.insert(copied.end(), line.Values.begin(), line.Values.end());
            }
        }
        EXPECT_EQ(copied, std::vector<std::string>{"OmbrelPort.inf"});
    }
    const auto port = InfFile::Load(rig::PackageInfPath("OmbrelPort"));
    for (const auto& name : port.SectionNames()) {
        for (const auto& line : port.Section(name)) {
            EXPECT_NE(Lower(line.Key), "copyinf") << "the ports' package stages nothing";
        }
    }

    const Project package("OmbrelPackage");
    EXPECT_EQ(package.Single("ConfigurationType"), "Utility");
    EXPECT_EQ(package.Single("DriverType"), "Package");
    EXPECT_EQ(package.Single("PlatformToolset"), "WindowsKernelModeDriver10.0");
    EXPECT_EQ(package.Single("EnableInf2cat"), "true");
    EXPECT_EQ(package.Single("Inf2CatUseLocalTime"), "true");
    EXPECT_EQ(package.Single("SignMode"), "TestSign");
    EXPECT_EQ(Matches(package.Text, "<ProjectConfiguration\\s+Include=\"([^\"]*)\""),
              (std::vector<std::string>{"Debug|x64", "Release|x64"}));
    std::map<std::string, std::string> references;  // project path: GUID
    const std::regex reference("<ProjectReference\\s+Include=\"([^\"]*)\">\\s*<Project>(\\{[^}]*\\})</Project>");
    for (auto it = std::sregex_iterator(package.Text.begin(), package.Text.end(), reference);
         it != std::sregex_iterator(); ++it) {
        references[package.FromProject((*it)[1])] = Lower((*it)[2]);
    }
    std::map<std::string, std::string> drivers;
    for (const auto& driver : Packages) {
        drivers["windows/" + driver.Driver + "/" + driver.Driver + ".vcxproj"] =
            Lower(Project(driver.Driver).Single("ProjectGuid"));
    }
    EXPECT_EQ(references, drivers);
}

// The README installs the one package with one pnputil step.
TEST(WindowsPackage, ReadmeInstallsTheOnePackageWithOnePnputilStep)
{
    const auto adds = Matches(ReadText(Root / "README.md"), "pnputil /add-driver (\\S+)", 1);
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_NE(adds[0].find("OmbrelPackage\\OmbrelBus.inf"), std::string::npos) << adds[0];
}

TEST(WindowsPackage, SolutionBuildsEveryProjectInDebugAndRelease)
{
    const std::string solution = ReadText(Root / "windows" / "OmbrelDrivers.sln");
    const std::regex entry("Project\\(\"\\{[0-9A-F-]+\\}\"\\) = \"([^\"]+)\", \"([^\"]+)\", \"(\\{[0-9A-F-]+\\})\"");
    std::map<std::string, std::pair<std::string, std::string>> projects;  // name: path, GUID
    for (auto it = std::sregex_iterator(solution.begin(), solution.end(), entry); it != std::sregex_iterator(); ++it) {
        projects[(*it)[1]] = {(*it)[2], (*it)[3]};
    }
    std::vector<std::string> expected;
    for (const auto& package : Packages) {
        expected.push_back(package.Driver);
    }
    expected.push_back("OmbrelPackage");
    ASSERT_EQ(projects.size(), expected.size());
    for (const auto& name : expected) {
        SCOPED_TRACE(name);
        const auto& [path, guid] = projects[name];
        EXPECT_EQ(path, name + "\\" + name + ".vcxproj");
        EXPECT_EQ(Lower(guid), Lower(Project(name).Single("ProjectGuid")));
        for (const char* configuration : {"Debug|x64", "Release|x64"}) {
            const std::string build = guid + "." + configuration + ".Build.0 = " + configuration;
            EXPECT_NE(solution.find(build), std::string::npos) << build;
        }
    }
}

} // namespace
