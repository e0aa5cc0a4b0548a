// logind.conf as logind reads it: the first main file found, then the
// drop-ins of every folder sorted by file name (a file hides the same name
// in the folders after it, so /etc can mask a vendor's file), the last valid
// assignment of a key winning. korvel reads the files itself and runs no
// program to list them.
#include "logind_conf.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <strings.h>

namespace korcli::inspect {

namespace {

namespace fs = std::filesystem;

// Earlier folders win over later ones for a file of the same name. Both
// daemons read /lib too where /usr is not merged.
const char *const kPrefixes[] = {"/etc/", "/run/", "/usr/local/lib/", "/usr/lib/", "/lib/"};

struct daemon_layout {
    const char *name;
    const char *folder;  // below each prefix
    const char *reread;  // has the daemon read its files again, sessions kept
};

constexpr daemon_layout kLayouts[] = {
    {"systemd-logind", "systemd", "systemctl kill -s HUP systemd-logind"},
    {"elogind", "elogind", "loginctl reload"},
};

constexpr const char *kOurDropIn = "korvel-lid.conf";

// The files in the order they are read, as logind names them.
std::vector<std::string> files_read(const daemon_layout &d, const std::string &root) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const char *prefix : kPrefixes) {
        const std::string main = std::string(prefix) + d.folder + "/logind.conf";
        if (fs::exists(root + main, ec)) {
            files.push_back(main);
            break;
        }
    }
    std::map<std::string, std::string> drop_ins;  // by file name, so in their order
    for (const char *prefix : kPrefixes) {
        const std::string folder = std::string(prefix) + d.folder + "/logind.conf.d/";
        for (const fs::directory_entry &entry : fs::directory_iterator(root + folder, ec))
            if (entry.path().extension() == ".conf")
                drop_ins.emplace(entry.path().filename().string(), folder + entry.path().filename().string());
    }
    for (const auto &[name, path] : drop_ins) files.push_back(path);
    return files;
}

std::string trimmed(const std::string &s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// systemd's reading of a boolean; an assignment it cannot read is ignored.
std::optional<bool> boolean(const std::string &value) {
    for (const char *yes : {"1", "yes", "y", "true", "t", "on"})
        if (strcasecmp(value.c_str(), yes) == 0) return true;
    for (const char *no : {"0", "no", "n", "false", "f", "off"})
        if (strcasecmp(value.c_str(), no) == 0) return false;
    return std::nullopt;
}

// Applies `file`'s assignments of `key` in [Login] to `out`.
void read_file(const std::string &root, const std::string &file, const std::string &key, lid_setting &out) {
    std::ifstream in(root + file);
    std::string line, section;
    while (std::getline(in, line)) {
        // A line ending in a backslash goes on in the next one.
        for (std::string more; !line.empty() && line.back() == '\\' && std::getline(in, more);)
            line = line.substr(0, line.size() - 1) + " " + more;
        line = trimmed(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') section = line;
        const size_t eq = line.find('=');
        if (section != "[Login]" || eq == std::string::npos || trimmed(line.substr(0, eq)) != key) continue;
        const std::string value = trimmed(line.substr(eq + 1));
        if (const std::optional<bool> b = boolean(value)) {
            out.ignores_locks = b;
            out.written = value;
            out.file = file;
        }
    }
}

}  // namespace

logind_daemon logind_daemon_named(const std::string &name) {
    const std::string base = name.substr(name.find_last_of('/') + 1);
    return base.find("elogind") != std::string::npos ? logind_daemon::elogind : logind_daemon::systemd;
}

lid_setting read_lid_setting(logind_daemon daemon, const std::string &root) {
    const daemon_layout &d = kLayouts[daemon == logind_daemon::elogind ? 1 : 0];
    lid_setting out;
    for (const std::string &file : files_read(d, root)) read_file(root, file, "LidSwitchIgnoreInhibited", out);
    out.daemon = d.name;
    out.reread = d.reread;
    // Ours must come after the drop-in that sets it now.
    const std::string winner = fs::path(out.file).filename().string();
    const bool from_drop_in = out.file.find("/logind.conf.d/") != std::string::npos;
    const std::string ours = from_drop_in && winner > kOurDropIn ? fs::path(winner).stem().string() + ".korvel.conf"
                                                                 : kOurDropIn;
    out.drop_in = std::string("/etc/") + d.folder + "/logind.conf.d/" + ours;
    return out;
}

}  // namespace korcli::inspect
