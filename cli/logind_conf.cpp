// logind.conf as logind reads it: the main file, then the drop-ins in the
// order of their file names, the last assignment of a key winning.
// systemd-analyze knows the folders of the systemd it came with; without it
// korvel walks the folders systemd documents.
#include "inspect.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <sys/wait.h>

namespace korcli::inspect {

namespace {

namespace fs = std::filesystem;

// Earlier folders win over later ones for a file of the same name.
const char *const kConfigFolders[] = {"/etc/systemd", "/run/systemd", "/usr/local/lib/systemd", "/usr/lib/systemd"};

// Each file's text follows a line "# PATH", as systemd-analyze prints them.
std::optional<std::string> from_systemd_analyze() {
    // The command line is fixed: no word of it comes from outside.
    FILE *pipe = popen("systemd-analyze cat-config systemd/logind.conf 2>/dev/null", "r");
    if (pipe == nullptr) return std::nullopt;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
    const int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return text;
}

void append_file(const fs::path &file, std::string &text) {
    std::ifstream in(file);
    if (!in) return;
    std::ostringstream body;
    body << in.rdbuf();
    text += "# " + file.string() + "\n" + body.str() + "\n";
}

std::string from_the_folders() {
    std::string text;
    for (const char *folder : kConfigFolders) {
        const fs::path main = fs::path(folder) / "logind.conf";
        std::error_code ec;
        if (fs::is_regular_file(main, ec)) {
            append_file(main, text);
            break;
        }
    }
    std::map<std::string, fs::path> drop_ins;  // by file name, so in their order
    for (const char *folder : kConfigFolders) {
        std::error_code ec;
        for (const fs::directory_entry &entry : fs::directory_iterator(fs::path(folder) / "logind.conf.d", ec))
            if (entry.path().extension() == ".conf") drop_ins.emplace(entry.path().filename().string(), entry.path());
    }
    for (const auto &[name, path] : drop_ins) append_file(path, text);
    return text;
}

std::string trimmed(const std::string &s) {
    const size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

config_setting last_setting(const std::string &config, const std::string &key) {
    config_setting found;
    std::istringstream lines(config);
    std::string line, section, file;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.rfind("# /", 0) == 0) file = line.substr(2);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line;
            continue;
        }
        const size_t eq = line.find('=');
        if (section == "[Login]" && eq != std::string::npos && trimmed(line.substr(0, eq)) == key) {
            found.value = trimmed(line.substr(eq + 1));
            found.file = file;
        }
    }
    return found;
}

}  // namespace

config_setting lid_switch_ignore_inhibited() {
    const std::optional<std::string> printed = from_systemd_analyze();
    return last_setting(printed ? *printed : from_the_folders(), "LidSwitchIgnoreInhibited");
}

}  // namespace korcli::inspect
