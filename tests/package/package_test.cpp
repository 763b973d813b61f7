// The Debian packages made from the build on the kernel's devices
// (BOAT_LINUX_BIN_DIR) with cpack, one per kind of boat and one of the
// shore server: unpacked into scratch roots, their units must find their
// programs and folders and run them without root or capability, their dependencies must name the packages of the
// libraries the programs link and only the services that boat uses,
// boat-common's settings file must be a root-only conffile showing the
// build's values, its postinst must make the devices' groups, and
// boat-checkin's postinst must make the account for user id 500 once,
// leaving an id or name that is already taken alone; boat-shore's settings
// file must show the server's defaults and go to the server's group, whose
// account its postinst makes. The postinsts run on a private overlay of /etc.
#include "private_mounts.h"
#include "process.h"
#include "settings.h"
#include "shore/settings.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempDir;
using testsupport::read_file;

namespace {

constexpr int kToolMs = 120000;
// What each package holds and needs beyond its libraries.
struct PackageKind {
    std::string name;
    std::vector<std::string> programs;  // in /usr/bin, each with its unit
    std::vector<std::string> tools;     // in /usr/bin, without a unit
    std::vector<std::string> data;      // in /usr/share/NAME, as in deploy/
    std::string depends;                // a package it must depend on
    std::string recommends;             // its Recommends field, exactly
    std::string user;                   // the units' User=
    std::string groups;                 // the units' SupplementaryGroups=
    std::string credential;             // the settings as the units hand them on ("" none)
    std::vector<std::string> installed() const {
        std::vector<std::string> all = programs;
        all.insert(all.end(), tools.begin(), tools.end());
        std::sort(all.begin(), all.end());
        return all;
    }
};
const std::string kTerminalConf = "terminal.conf:/etc/boat/terminal.conf";
const std::vector<PackageKind> kPackages = {
    {"boat-checkin", {"boat_checkin", "tag_reader"}, {}, {"RC522.conf.example"}, "adduser", "", "500", "gpio spi",
     kTerminalConf},
    {"boat-tracker", {"boat_tracker", "boat_uplink"}, {"boat_track"}, {"schema.sql"}, "netbase", "gpsd, mariadb-server", "500",
     "gpio spi", kTerminalConf},
    // The shore server has no board: its own user, and it reads its
    // settings itself, with that user's group.
    {"boat-shore", {"boat_shore"}, {}, {}, "libjs-leaflet", "", "boat-shore", "", ""},
};
const std::string kShore = "boat-shore";
// The settings file both kinds of boat read, in a package of its own.
const std::string kCommon = "boat-common";
std::string deb_name(const std::string& package) {
    return package + "_" + BOAT_VERSION + "_" + (package == kCommon ? "all" : BOAT_DEB_ARCH) + ".deb";
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs a host tool to its end; its output in files of `dir`.
Outcome run_tool(const TempDir& dir, std::vector<std::string> argv, std::vector<std::string> env = {}) {
    static int n = 0;
    std::string out = dir.file("out" + std::to_string(n)), err = dir.file("err" + std::to_string(n));
    n++;
    ProcessOptions o;
    o.argv = std::move(argv);
    o.env = std::move(env);
    o.stdout_path = out;
    o.stderr_path = err;
    Process p(o);
    Outcome r;
    if (!p.wait_exit(kToolMs)) {
        p.stop();
        r.err = "did not end in time";
        return r;
    }
    r.status = p.exit_status();
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_program(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0111;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// "Key=value" of a unit file; empty when it has no such line.
std::string unit_value(const std::string& unit, const std::string& key) {
    std::istringstream in(unit);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "";
}

// Library file name -> binary package, from the dependency information
// that the libraries' packages ship: shlibs lines ("libcurl 4 libcurl4 ...")
// and symbols headers ("libcurl.so.4 libcurl4 #MINVER#").
void add_library_packages(const std::string& text, bool symbols, std::map<std::string, std::string>* out) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ' ' || line[0] == '#' || line[0] == '*' || line[0] == '|') continue;
        std::istringstream f(line);
        std::string a, b, c;
        if (symbols) {
            if (f >> a >> b) out->emplace(a, b.substr(0, b.find(':')));
        } else if (f >> a >> b >> c) {
            if (a.find(':') != std::string::npos) continue;  // "udeb: ..." lines
            out->emplace(a + ".so." + b, c.substr(0, c.find(':')));
        }
    }
}

std::map<std::string, std::string> library_packages() {
    std::map<std::string, std::string> m;
    std::string target = BOAT_TARGET_DEBIAN_DIR;
    if (!target.empty()) {
        add_library_packages(read_file(target + "/symbols"), true, &m);
        add_library_packages(read_file(target + "/shlibs"), false, &m);
        return m;
    }
    // The host's libraries of this architecture; cross compilers' packages
    // carry other architectures' libraries under the same names.
    const std::string info = "/var/lib/dpkg/info";
    const std::string arch = std::string(":") + BOAT_DEB_ARCH;
    auto ends = [](const std::string& s, const std::string& tail) {
        return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (const auto& name : list_dir(info)) {
        if (ends(name, arch + ".symbols")) add_library_packages(read_file(info + "/" + name), true, &m);
        if (ends(name, arch + ".shlibs")) add_library_packages(read_file(info + "/" + name), false, &m);
    }
    return m;
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string config = testsupport::linux_bin_dir() + "/CPackConfig.cmake";
        if (testsupport::linux_bin_dir().empty() || access(config.c_str(), R_OK) != 0) {
            made_ = "no " + config + ": configure BOAT_LINUX_BIN_DIR with CMAKE_INSTALL_PREFIX=/usr (scripts/test does)";
            return;
        }
        Outcome r = run_tool(*dir_, {BOAT_CPACK, "-G", "DEB", "--config", config, "-B", dir_->file("out")});
        if (r.status != 0) {
            made_ = "cpack failed: " + r.out + r.err;
            return;
        }
        std::vector<std::string> expected {deb_name(kCommon)};
        for (const auto& k : kPackages) expected.push_back(deb_name(k.name));
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> made;
        for (const auto& f : list_dir(dir_->file("out")))
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".deb") == 0) made.push_back(f);
        if (made != expected) {
            std::string list;
            for (const auto& e : expected) list += " " + e;
            made_ = "cpack made other packages than" + list + ":\n" + r.out;
            return;
        }
        std::vector<std::string> names {kCommon};
        for (const auto& k : kPackages) names.push_back(k.name);
        for (const auto& name : names) {
            std::string deb = deb_path(name);
            Outcome x = run_tool(*dir_, {"/usr/bin/dpkg-deb", "-x", deb, root(name)});
            Outcome e = run_tool(*dir_, {"/usr/bin/dpkg-deb", "-e", deb, control(name)});
            if (x.status != 0 || e.status != 0) made_ = "dpkg-deb: " + x.err + e.err;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(made_, "") << made_; }

    static std::string deb_path(const std::string& package) { return dir_->file("out/" + deb_name(package)); }
    static std::string root(const std::string& package) { return dir_->file("root-" + package); }
    static std::string control(const std::string& package) { return dir_->file("control-" + package); }
    static std::string field(const std::string& package, const std::string& name) {
        Outcome r = run_tool(*dir_, {"/usr/bin/dpkg-deb", "-f", deb_path(package), name});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
    // The package names of a relation field, without versions.
    static std::set<std::string> names(const std::string& package, const std::string& name) {
        std::set<std::string> out;
        std::istringstream in(field(package, name));
        std::string item;
        while (std::getline(in, item, ',')) {
            std::istringstream words(item);
            std::string word;
            if (words >> word) out.insert(word);
        }
        return out;
    }

    static TempDir* dir_;
    static std::string made_;
};

TempDir* Package::dir_ = nullptr;
std::string Package::made_;

TEST_F(Package, UnitsFindTheirProgramsAndFoldersInTheUnpackedRoot) {
    // Where the programs and the units go is fixed by the units and by
    // systemd; nothing of the simulated board belongs in the packages.
    for (const auto& k : kPackages) {
        SCOPED_TRACE(k.name);
        const std::string r = root(k.name);
        EXPECT_EQ(list_dir(r + "/usr/bin"), k.installed());
        EXPECT_EQ(field(k.name, "Architecture"), BOAT_DEB_ARCH);
        EXPECT_EQ(field(k.name, "Package"), k.name);
        std::vector<std::string> units;
        for (const auto& prog : k.programs) units.push_back(prog + ".service");
        EXPECT_EQ(list_dir(r + "/usr/lib/systemd/system"), units);
        for (const auto& prog : k.programs) {
            SCOPED_TRACE(prog);
            std::string unit = read_file(r + "/usr/lib/systemd/system/" + prog + ".service");
            ASSERT_NE(unit, "");
            for (const std::string key : {"ExecStart", "ExecStopPost"}) {
                std::string exec = unit_value(unit, key);
                if (exec.empty()) continue;
                exec = exec.substr(exec.find_first_not_of("+-@:!"));  // systemd's prefixes
                ASSERT_EQ(exec.rfind('/', 0), 0u) << key << "=" << exec;
                EXPECT_TRUE(is_program(r + exec.substr(0, exec.find(' ')))) << key << "=" << exec;
            }
            std::string cwd = unit_value(unit, "WorkingDirectory");
            // systemd makes the state folder, the working directory of the
            // shore server, at its start.
            if (!cwd.empty() && cwd != "/var/lib/" + unit_value(unit, "StateDirectory")) {
                EXPECT_TRUE(is_dir(r + cwd)) << "WorkingDirectory=" << cwd;
            }
            // No root, no capability, no /dev/mem: the kernel's devices
            // through their groups, the settings through a credential.
            EXPECT_TRUE(unit_value(unit, "User") == k.user || unit_value(unit, "DynamicUser") == "yes") << unit;
            EXPECT_NE(unit.find("\nCapabilityBoundingSet=\n"), std::string::npos) << unit;
            EXPECT_FALSE(std::regex_search(unit, std::regex("\nCapabilityBoundingSet=\\S"))) << unit;
            EXPECT_FALSE(std::regex_search(unit, std::regex("\nAmbientCapabilities=\\S"))) << unit;
            EXPECT_EQ(unit.find("/dev/mem"), std::string::npos);
            // The uplink touches no device.
            if (prog != "boat_uplink") {
                EXPECT_EQ(unit_value(unit, "SupplementaryGroups").rfind(k.groups, 0), 0u) << unit;
            }
            EXPECT_EQ(unit_value(unit, "LoadCredential"), k.credential);
            if (!k.credential.empty()) {
                EXPECT_EQ(unit_value(unit, "SetCredential").rfind("terminal.conf:", 0), 0u) << unit;
            }
        }
        for (const auto& f : k.data)
            EXPECT_EQ(read_file(r + "/usr/share/" + k.name + "/" + f), read_file(testsupport::source_path("deploy/") + f))
                << f;
    }
}

TEST_F(Package, DependsNameTheLibrariesPackagesAndOnlyTheTrackerRecommendsItsServices) {
    auto packages = library_packages();
    ASSERT_FALSE(packages.empty());
    const std::regex needed(R"(\(NEEDED\).*\[(.*)\])");
    std::set<std::string> linked_by_any;
    for (const auto& k : kPackages) {
        SCOPED_TRACE(k.name);
        std::set<std::string> depends = names(k.name, "Depends");
        EXPECT_TRUE(depends.count(k.depends)) << field(k.name, "Depends");
        // A check-in boat gets no database server and no gpsd.
        EXPECT_EQ(field(k.name, "Recommends"), k.recommends);
        for (const std::string service : {"mariadb-server", "gpsd"}) EXPECT_FALSE(depends.count(service)) << service;

        std::set<std::string> linked;
        for (const auto& prog : k.installed()) {
            Outcome r = run_tool(*dir_, {"/usr/bin/readelf", "-d", root(k.name) + "/usr/bin/" + prog});
            ASSERT_EQ(r.status, 0) << r.err;
            for (std::sregex_iterator m(r.out.begin(), r.out.end(), needed), end; m != end; ++m) linked.insert((*m)[1]);
        }
        for (const auto& lib : linked) {
            SCOPED_TRACE(lib);
            linked_by_any.insert(lib);
            ASSERT_TRUE(packages.count(lib)) << "no package ships " << lib;
            EXPECT_TRUE(depends.count(packages[lib])) << packages[lib] << " missing from Depends: " << field(k.name, "Depends");
        }
    }
    // Up to 1.0 one package held the boats' programs; the shore server
    // came later and replaces nothing.
    for (const auto& k : kPackages)
        EXPECT_EQ(field(k.name, "Replaces"), k.name == kShore ? "" : "boat-terminals (<< 1.1~)") << k.name;
    // The programs link these for real; libbcm2835 is a static library.
    for (const std::string lib : {"libcurl.so.4", "libnfc.so.6", "libgps.so.28", "libmariadb.so.3", "libcairo.so.2",
                                  "libsqlite3.so.0", "libpq.so.5", "libsystemd.so.0",
                                  // the shore's HTTPS: Debian's library links OpenSSL
                                  "libcpp-httplib.so.0.11"})
        EXPECT_TRUE(linked_by_any.count(lib)) << lib;
}

// The groups and udev rules of the kernel's GPIO and SPI devices, which
// both kinds of boat need, in boat-common.
TEST_F(Package, CommonShipsTheDevicesGroupsAndRules) {
    const std::string r = root(kCommon);
    EXPECT_EQ(read_file(r + "/usr/lib/udev/rules.d/60-boat-gpio-spi.rules"),
              read_file(testsupport::source_path("deploy/60-boat-gpio-spi.rules")));
    EXPECT_EQ(read_file(r + "/usr/lib/sysusers.d/boat-gpio-spi.conf"),
              read_file(testsupport::source_path("deploy/boat-gpio-spi.sysusers")));
    EXPECT_TRUE(is_program(control(kCommon) + "/postinst"));
}

// An upgrade keeps the operator's settings, others cannot read the
// password, and every key is there, commented out with the packaged build's
// value: the file as packaged changes nothing, and each line without its
// comment mark is one the terminals take.
TEST_F(Package, SettingsFileIsARootOnlyConffileWithTheBuildsValuesCommentedOut) {
    const std::string path = "/etc/boat/terminal.conf";
    EXPECT_EQ(read_file(control(kCommon) + "/conffiles"), path + "\n");
    EXPECT_EQ(field(kCommon, "Architecture"), "all");
    for (const auto& k : kPackages)
        EXPECT_EQ(names(k.name, "Depends").count(kCommon), k.name == kShore ? 0u : 1u) << k.name;
    Outcome listing = run_tool(*dir_, {"/usr/bin/dpkg-deb", "-c", deb_path(kCommon)});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::smatch entry;
    ASSERT_TRUE(std::regex_search(listing.out, entry, std::regex(R"((\S+) (\S+) +\d+ \S+ \S+ \.)" + path + "\n")))
        << listing.out;
    EXPECT_EQ(entry[1].str(), "-rw-r-----");
    EXPECT_EQ(entry[2].str(), "root/root");

    const std::string packaged = read_file(root(kCommon) + path);
    const std::string cache = read_file(testsupport::linux_bin_dir() + "/CMakeCache.txt");
    const std::pair<std::string, std::string> keys[] = {
        {"URL", "BOAT_CHECKIN_URL"}, {"CA_FILE", "BOAT_CHECKIN_CA"}, {"PINNED_KEY", "BOAT_CHECKIN_PINNED_KEY"},
        {"DB_HOST", "BOAT_DB_HOST"}, {"DB_USER", "BOAT_DB_USER"},    {"DB_PASSWORD", "BOAT_DB_PASSWORD"},
        {"DB_NAME", "BOAT_DB_NAME"}, {"GPSD_HOST", "BOAT_GPSD_HOST"}, {"GPSD_PORT", "BOAT_GPSD_PORT"},
        {"GPIO_CHIP", "BOAT_GPIO_CHIP"}, {"SPI_DEVICE", "BOAT_SPI_DEVICE"}, {"CHECKIN_INTERVAL", "BOAT_CHECKIN_INTERVAL"},
    };
    std::string uncommented;
    for (const auto& [key, variable] : keys) {
        SCOPED_TRACE(key);
        std::smatch built;
        ASSERT_TRUE(std::regex_search(cache, built, std::regex("\n" + variable + ":STRING=(.*)\n"))) << variable;
        const std::string line = key + "=" + built[1].str() + "\n";
        EXPECT_NE(packaged.find("\n#" + line), std::string::npos) << packaged;
        uncommented += line;
    }

    SettingsNote error {}, warning {};
    TerminalSettings read {};
    const std::string copy = dir_->file("terminal.conf");
    for (const std::string& text : {packaged, uncommented}) {
        testsupport::write_file(copy, text);
        ASSERT_EQ(chmod(copy.c_str(), 0640), 0);
        ASSERT_EQ(read_terminal_settings(copy.c_str(), &read, &error, &warning), 0) << error.data() << "\n" << text;
        EXPECT_EQ(warning.data(), std::string());
    }
    EXPECT_NE(read.url.data(), std::string(default_terminal_settings().url.data()))
        << "the packaged build's URL is not the simulated build's: the uncommented file was read";
    EXPECT_EQ(uncommented.find("URL=" + std::string(read.url.data()) + "\n"), 0u);
}

// The postinst against accounts prepared on the private /etc.
struct AccountCase {
    const char* name;
    std::vector<std::vector<std::string>> before;  // commands run first
    std::string owner_of_500;                      // afterwards; "" for none
    std::string uid_of_boat_checkin;               // afterwards; "" for none
    std::string message;                           // part of the postinst's standard error
};

std::string passwd_field(const TempDir& dir, const std::string& key, int field) {
    Outcome r = run_tool(dir, {"/usr/bin/getent", "passwd", key});
    if (r.status != 0) return "";
    std::istringstream in(r.out.substr(0, r.out.find('\n')));
    std::string f;
    for (int i = 0; i <= field && std::getline(in, f, ':'); i++) {
    }
    return f;
}

TEST_F(Package, PostinstsMakeTheDevicesGroupsAndTheAccountForUser500OnceAndLeaveTakenOnesAlone) {
    std::string err;
    if (!testsupport::enter_private_mounts(&err)) GTEST_SKIP() << "no private /etc here: " << err;
    const std::vector<std::string> path = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    const std::vector<AccountCase> cases = {
        {"id and name free", {}, "boat_checkin", "500", ""},
        {"id taken by another account",
         {{"/usr/sbin/useradd", "--system", "--uid", "500", "--no-create-home", "--shell", "/usr/sbin/nologin", "deckhand"}},
         "deckhand", "", "user id 500 already belongs to the account 'deckhand'"},
        {"name taken with another id",
         {{"/usr/sbin/useradd", "--system", "--uid", "777", "--no-create-home", "--shell", "/usr/sbin/nologin",
           "boat_checkin"}},
         "", "777", "the account 'boat_checkin' has user id 777, not 500"},
    };
    // As installed: boat-common's sysusers file where systemd-sysusers
    // finds it.
    mkdir("/etc/sysusers.d", 0755);
    testsupport::write_file("/etc/sysusers.d/boat-gpio-spi.conf",
                            read_file(root(kCommon) + "/usr/lib/sysusers.d/boat-gpio-spi.conf"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& user : {passwd_field(*dir_, "500", 0), std::string("boat_checkin"), std::string("deckhand")})
            if (!user.empty()) run_tool(*dir_, {"/usr/sbin/userdel", "--force", user}, path);
        for (const std::string group : {"gpio", "spi"}) run_tool(*dir_, {"/usr/sbin/groupdel", group}, path);
        ASSERT_EQ(passwd_field(*dir_, "500", 0), "");
        for (const auto& cmd : c.before) ASSERT_EQ(run_tool(*dir_, cmd, path).status, 0);

        // Installing and then configuring again (reinstall, upgrade) must
        // come to the same accounts, boat-common's devices' groups first.
        for (int pass = 0; pass < 2; pass++) {
            SCOPED_TRACE(pass);
            Outcome common = run_tool(*dir_, {"/bin/sh", control(kCommon) + "/postinst", "configure", ""}, path);
            EXPECT_EQ(common.status, 0) << common.err;
            for (const std::string group : {"gpio", "spi"})
                EXPECT_EQ(run_tool(*dir_, {"/usr/bin/getent", "group", group}).status, 0) << "no group " << group;
            Outcome r = run_tool(*dir_, {"/bin/sh", control("boat-checkin") + "/postinst", "configure", ""}, path);
            EXPECT_EQ(r.status, 0) << r.err;
            if (c.message.empty()) {
                EXPECT_EQ(r.err, "");
            } else {
                EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            }
            EXPECT_EQ(passwd_field(*dir_, "500", 0), c.owner_of_500);
            EXPECT_EQ(passwd_field(*dir_, "boat_checkin", 2), c.uid_of_boat_checkin);
        }
        if (c.owner_of_500 == "boat_checkin") {
            EXPECT_EQ(passwd_field(*dir_, "boat_checkin", 6), "/usr/sbin/nologin");
            Outcome g = run_tool(*dir_, {"/usr/bin/getent", "group", "boat_checkin"});
            EXPECT_EQ(g.status, 0) << "no group of its own";
        }
    }
}

// The shore server's settings: a conffile of root's that its postinst
// gives to the server's group (the group does not exist when dpkg unpacks
// it), every key the server takes, commented out at the server's own
// default: the file as packaged and the file uncommented both read as the
// defaults.
TEST_F(Package, ShoreSettingsAreAConffileWithEveryKeyCommentedOutAtTheServersDefault) {
    const std::string path = "/etc/boat/shore.conf";
    EXPECT_EQ(read_file(control(kShore) + "/conffiles"), path + "\n");
    Outcome listing = run_tool(*dir_, {"/usr/bin/dpkg-deb", "-c", deb_path(kShore)});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::smatch entry;
    ASSERT_TRUE(std::regex_search(listing.out, entry, std::regex(R"((\S+) (\S+) +\d+ \S+ \S+ \.)" + path + "\n")))
        << listing.out;
    EXPECT_EQ(entry[1].str(), "-rw-r-----");
    EXPECT_EQ(entry[2].str(), "root/root");
    EXPECT_EQ(names(kShore, "Suggests"), std::set<std::string>{"postgresql"});
    EXPECT_EQ(access((root(kShore) + "/usr/share/man/man8/boat_shore.8.gz").c_str(), R_OK), 0) << "no manual page";
    EXPECT_EQ(read_file(root(kShore) + "/usr/lib/sysusers.d/boat-shore.conf"),
              read_file(testsupport::source_path("deploy/boat-shore.sysusers")));

    const std::string packaged = read_file(root(kShore) + path);
    std::string uncommented;
    std::set<std::string> keys;
    const std::regex commented_key("^#([A-Z_]+)=(.*)$");
    std::istringstream in(packaged);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, commented_key)) continue;
        EXPECT_TRUE(keys.insert(m[1]).second) << "twice: " << m[1];
        uncommented += line.substr(1) + "\n";
    }
    EXPECT_EQ(keys, (std::set<std::string>{"DATABASE", "LISTEN", "CERT", "KEY"}));
    const shore::Settings defaults;
    const std::string copy = dir_->file("shore.conf");
    for (const std::string& text : {packaged, uncommented}) {
        testsupport::write_file(copy, text);
        shore::Settings read;
        std::string error;
        ASSERT_TRUE(shore::read_settings(copy, &read, &error)) << error << "\n" << text;
        EXPECT_EQ(read.database, defaults.database);
        EXPECT_EQ(read.listen, defaults.listen);
        EXPECT_EQ(read.cert, defaults.cert);
        EXPECT_EQ(read.key, defaults.key);
    }
}

// boat-shore's postinst on a private /etc: the account boat-shore (home
// in the state folder, no login) made once however often it configures,
// and the settings file given to its group unless the operator chose
// another.
TEST_F(Package, ShorePostinstMakesItsAccountOnceAndGivesTheSettingsToItsGroup) {
    std::string err;
    if (!testsupport::enter_private_mounts(&err)) GTEST_SKIP() << "no private /etc here: " << err;
    const std::vector<std::string> path = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    mkdir("/etc/sysusers.d", 0755);
    testsupport::write_file("/etc/sysusers.d/boat-shore.conf",
                            read_file(root(kShore) + "/usr/lib/sysusers.d/boat-shore.conf"));
    run_tool(*dir_, {"/usr/sbin/userdel", "--force", "boat-shore"}, path);
    run_tool(*dir_, {"/usr/sbin/groupdel", "boat-shore"}, path);
    const std::string conf = "/etc/boat/shore.conf";
    mkdir("/etc/boat", 0755);
    testsupport::write_file(conf, read_file(root(kShore) + conf));
    ASSERT_EQ(chown(conf.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    auto owner = [&] {
        Outcome r = run_tool(*dir_, {"/usr/bin/stat", "-c", "%a %U:%G", conf});
        return r.out.substr(0, r.out.find('\n'));
    };

    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass);
        Outcome r = run_tool(*dir_, {"/bin/sh", control(kShore) + "/postinst", "configure", ""}, path);
        EXPECT_EQ(r.status, 0) << r.err;
        if (pass == 1) {
            EXPECT_EQ(r.err, "") << "made again";
        }
        EXPECT_EQ(passwd_field(*dir_, "boat-shore", 5), "/var/lib/boat-shore");
        EXPECT_EQ(passwd_field(*dir_, "boat-shore", 6), "/usr/sbin/nologin");
        EXPECT_EQ(owner(), "640 root:boat-shore");
    }
    Outcome users = run_tool(*dir_, {"/usr/bin/grep", "-c", "^boat-shore:", "/etc/passwd"});
    EXPECT_EQ(users.out, "1\n");
    const std::string uid = passwd_field(*dir_, "boat-shore", 2);
    EXPECT_LT(std::stoi(uid.empty() ? "-1" : uid), 1000) << "not a system account";

    // An operator's own group for the file stays.
    ASSERT_EQ(run_tool(*dir_, {"/usr/bin/chgrp", "adm", conf}).status, 0);
    Outcome again = run_tool(*dir_, {"/bin/sh", control(kShore) + "/postinst", "configure", "1.0"}, path);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(owner(), "640 root:adm");
}

}  // namespace
