// The korvel command on Windows. Ctrl-C, Ctrl-Break and the console closing
// set one event that the waiting loop watches; the command shares korvel's
// console and receives Ctrl-C from it directly.
#include "os.h"

#include <windows.h>
#include <shellapi.h>

namespace korcli::os {

namespace {

HANDLE g_stop_event = nullptr;
volatile LONG g_stop_kind = -1;  // the console event that came last

BOOL WINAPI on_console_event(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&g_stop_kind, static_cast<LONG>(kind));
        SetEvent(g_stop_event);
        return TRUE;  // korvel ends the hold and exits in its own time
    default: return FALSE;
    }
}

std::string console_event_name(LONG kind) {
    switch (kind) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console closing";
    default: return "the session ending";
    }
}

std::string to_utf8(const wchar_t *text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return "";
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring to_wide(const std::string &text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 1) return L"";
    std::wstring out(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    return out;
}

// One argument written so that the C runtime's parser (the rules of
// CommandLineToArgvW) reads it back unchanged.
std::wstring quoted(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled and
        // the quote itself escaped.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::string error_text(DWORD code) {
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string out = text ? to_utf8(text) : "error " + std::to_string(code);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char **argv) {
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(to_utf8(wide[i]));
    LocalFree(wide);
    return out;
}

void route_stop_requests() {
    g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// A console event ends a program that does not handle it with this status.
std::optional<command_end> stop_request_within(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(g_stop_event, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
    return command_end{static_cast<int>(STATUS_CONTROL_C_EXIT), 0, "stopped by " + console_event_name(g_stop_kind)};
}

// Windows has no signals: a console event's status says it all.
int finish(const command_end &end) { return end.exit_status; }

command::~command() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool command::start(const std::vector<std::string> &argv, command_end &end) {
    std::wstring line;
    for (const std::string &arg : argv) {
        if (!line.empty()) line += L' ';
        line += quoted(to_wide(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        const DWORD err = GetLastError();
        const bool missing = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
        end = {missing ? 127 : 126, 0, "cannot run " + argv[0] + ": " + error_text(err)};
        return false;
    }
    CloseHandle(process.hThread);
    handle_ = reinterpret_cast<intptr_t>(process.hProcess);
    return true;
}

command_end command::wait() {
    const HANDLE process = reinterpret_cast<HANDLE>(handle_);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    handle_ = -1;
    return {static_cast<int>(code), 0, "exited with status " + std::to_string(code)};
}

}  // namespace korcli::os
