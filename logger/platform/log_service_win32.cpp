// ohmlog as a Windows service: installed, started, stopped, removed and shown through the
// Service Control Manager, and run by it. Its messages go to the Application event log under
// the source "ohmlog", whose texts come from EventCreate.exe's message table (every event from
// 1 to 1000 is its one string), as Telegraf's and windows_exporter's services do it; the last
// one is kept in the service's Parameters key for `ohmlog service status`.
#if !defined(_WIN32)
#error "log_service_win32.cpp is for Windows builds; POSIX builds take log_service_posix.cpp"
#endif

#include "log_service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include <windows.h>
#include <shlobj.h>

namespace logbook {

namespace {

constexpr const char* EVENT_SOURCE_KEY =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ohmlog";
// Restarted 10 s after a failure, as systemd's unit does it; failures counted over a day.
constexpr DWORD RESTART_DELAY_MS = 10000;
constexpr DWORD FAILURES_COUNTED_S = 86400;
// Before RUNNING: the broker's word on the node (2 s), an appended file read back.
constexpr DWORD START_HINT_MS = 30000;
// The end takes 3 s at most (a stalled pipe given 2 s, MQTT's farewell); the hint leaves room.
constexpr DWORD STOP_HINT_MS = 5000;
// How long `service start`, `stop` and `uninstall` wait for the state they asked for.
constexpr auto STATE_WAIT = std::chrono::seconds(30);

// The service this process runs as: set by run_as_service, read by every thread's messages.
struct RunningService {
    std::string name;
    std::string config;
    std::function<int()> run;
    int exit_status = 0;
    SERVICE_STATUS_HANDLE handle = nullptr;
    HANDLE events = nullptr;   // the event source
    HKEY parameters = nullptr; // where the last message is kept
    std::mutex lock;           // the status and the last message: the run's and the control's
    SERVICE_STATUS status{};
    std::string last;
    bool last_was_summary = false;
};

std::atomic<bool> as_service{false};

RunningService& the_service()
{
    static RunningService service;
    return service;
}

struct CloseService {
    void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;

// A service opened with the manager that opened it.
struct OpenedService {
    ServiceHandle manager;
    ServiceHandle service;
};

std::wstring wide(const std::string& text)
{
    return file_path(text).native();
}

std::string narrow(const std::wstring& text)
{
    return file_name(std::filesystem::path(text));
}

// Windows' own words for an error.
std::string system_words(DWORD error)
{
    wchar_t text[512] = L"";
    const DWORD size = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, 512, nullptr);
    std::string words = narrow(std::wstring(text, size));
    words.erase(words.find_last_not_of(" .\r\n") + 1);
    return words.empty() ? "error " + std::to_string(error)
                         : words + " (error " + std::to_string(error) + ")";
}

int refused(const std::string& doing, const std::string& name, DWORD error)
{
    say(Severity::error, "cannot " + doing + " the service " + name + ": " + system_words(error) +
                             (error == ERROR_ACCESS_DENIED
                                  ? "; a service is managed from a prompt run as administrator"
                                  : ""));
    return 1;
}

// The service's settings as the Service Control Manager keeps them (a QUERY_SERVICE_CONFIGW);
// none when it does not say.
std::vector<BYTE> settings_of(SC_HANDLE service)
{
    DWORD size = 0;
    QueryServiceConfigW(service, nullptr, 0, &size);
    std::vector<BYTE> settings(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(settings.data());
    if (size == 0 || !QueryServiceConfigW(service, config, size, &size)) {
        settings.clear();
    }
    return settings;
}

std::string command_line_of(const std::vector<BYTE>& settings)
{
    return settings.empty() ? ""
                            : narrow(reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(settings.data())
                                         ->lpBinaryPathName);
}

// Windows' names of services and of files ignore case.
std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Whether a service's command line is that of ohmlog's service NAME, which `install` made.
bool runs_ohmlog(const std::string& line, const std::string& name)
{
    return lower(line).find(" service run --service-name " + lower(name) + " --config ") !=
           std::string::npos;
}

// A service of ohmlog's, which `install` made: another program's service is left alone.
OpenedService open_service(const std::string& name, DWORD access, const std::string& doing)
{
    OpenedService opened{ServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)), {}};
    if (!opened.manager) {
        refused(doing, name, GetLastError());
        return opened;
    }
    opened.service.reset(
        OpenServiceW(opened.manager.get(), wide(name).c_str(), access | SERVICE_QUERY_CONFIG));
    const DWORD error = GetLastError();
    if (!opened.service && error == ERROR_SERVICE_DOES_NOT_EXIST) {
        say(Severity::error, "there is no service " + name +
                                 " (ohmlog service install --config FILE --service-name " + name +
                                 " makes it)");
    } else if (!opened.service) {
        refused(doing, name, error);
    }
    const std::string runs =
        opened.service ? command_line_of(settings_of(opened.service.get())) : "";
    if (opened.service && !runs_ohmlog(runs, name)) {
        say(Severity::error, "the service " + name + " is not one of ohmlog's (it runs " + runs +
                                 "): left as it is");
        opened.service.reset();
    }
    return opened;
}

SERVICE_STATUS_PROCESS status_of(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &size);
    return status;
}

// Waits until the service leaves the pending states (or for STATE_WAIT); its status then.
SERVICE_STATUS_PROCESS settled_status(SC_HANDLE service)
{
    const auto until = std::chrono::steady_clock::now() + STATE_WAIT;
    SERVICE_STATUS_PROCESS status = status_of(service);
    while ((status.dwCurrentState == SERVICE_START_PENDING ||
            status.dwCurrentState == SERVICE_STOP_PENDING) &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = status_of(service);
    }
    return status;
}

const char* state_words(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    default: return "paused";
    }
}

// The exit as ohmlog says it: its status and what it means, or Windows' words when the
// process ended without telling (a crash, a kill).
std::string exit_words(const SERVICE_STATUS_PROCESS& status)
{
    if (status.dwWin32ExitCode == NO_ERROR) {
        return "exit status 0";
    }
    if (status.dwWin32ExitCode == ERROR_SERVICE_NEVER_STARTED) {
        return "not run since Windows started";
    }
    if (status.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR) {
        return "ended without an exit status: " + system_words(status.dwWin32ExitCode);
    }
    const DWORD code = status.dwServiceSpecificExitCode;
    return "exit status " + std::to_string(code) +
           (code == 1   ? " (a port or a file failed)"
            : code == 2 ? " (bad options)"
            : code == 3 ? " (ended by --stop-on-alarm)"
                        : "");
}

std::string parameters_key(const std::string& name)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Parameters";
}

std::string last_message(const std::string& name)
{
    wchar_t text[8192] = L"";
    DWORD size = sizeof text - sizeof(wchar_t);
    const LSTATUS read = RegGetValueW(HKEY_LOCAL_MACHINE, wide(parameters_key(name)).c_str(),
                                      L"LastMessage", RRF_RT_REG_SZ, nullptr, text, &size);
    std::string message = read == ERROR_SUCCESS ? narrow(text) : "";
    message.erase(message.find_last_not_of('\n') + 1);
    return message;
}

// This program, as the service's command line names it.
std::string program_path()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return narrow(path);
}

std::string command_line(const std::string& name, const std::string& config)
{
    return "\"" + program_path() + "\" service run --service-name " + name + " --config \"" +
           config + "\"";
}

// Restarted after a failure, after a pause. Whether an exit status is a failure is the
// service's own flag, which each run sets as it ends (see `end_run`).
bool set_recovery(SC_HANDLE service, const std::string& name)
{
    SC_ACTION restart[3];
    for (SC_ACTION& action : restart) {
        action = SC_ACTION{SC_ACTION_RESTART, RESTART_DELAY_MS};
    }
    SERVICE_FAILURE_ACTIONSW actions{FAILURES_COUNTED_S, nullptr, nullptr, 3, restart};
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_status{TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) ||
        !ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_status)) {
        say(Severity::warning, "the Service Control Manager took no recovery actions for " + name +
                                   ": " + system_words(GetLastError()) +
                                   "; a run that fails is not restarted");
        return false;
    }
    return true;
}

// Why the service NAME of the file `config` cannot be made, said before anything is made: the
// name is taken, or a service of ohmlog's runs that file already and reads its meters.
std::string install_problem(SC_HANDLE manager, const std::string& name, const std::string& config)
{
    const ServiceHandle named(OpenServiceW(manager, wide(name).c_str(), SERVICE_QUERY_CONFIG));
    const std::string runs = named ? command_line_of(settings_of(named.get())) : "";
    const std::string taken = "there is a service " + name + " already";
    if (named && runs_ohmlog(runs, name)) {
        return taken + ": remove it with ohmlog service uninstall --service-name " + name +
               ", or name this one with --service-name";
    }
    if (named) {
        return taken + " (it runs " + runs + "): name this one with --service-name";
    }
    DWORD size = 0;
    DWORD count = 0;
    EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr,
                          0, &size, &count, nullptr, nullptr);
    std::vector<BYTE> listed(size);
    if (!EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                               listed.data(), size, &size, &count, nullptr, nullptr)) {
        count = 0;
    }
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(listed.data());
    for (DWORD k = 0; k < count; ++k) {
        const std::string other = narrow(services[k].lpServiceName);
        const ServiceHandle service(
            OpenServiceW(manager, services[k].lpServiceName, SERVICE_QUERY_CONFIG));
        const std::string line = service ? command_line_of(settings_of(service.get())) : "";
        if (runs_ohmlog(line, other) &&
            lower(line).find(lower(" --config \"" + config + "\"")) != std::string::npos) {
            std::string already = "the service " + other;
            already +=
                " runs " + config + " already, and a meter answers one program: one service a file";
            return already;
        }
    }
    return "";
}

// The event source, for every service of ohmlog: its messages as they are, by their type.
void register_event_source()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        say(Severity::warning,
            "cannot register the event source ohmlog: " + system_words(GetLastError()) +
                "; the event log shows its messages without their text");
        return;
    }
    const char messages[] = "%SystemRoot%\\System32\\EventCreate.exe";
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(messages), sizeof messages);
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
    RegCloseKey(key);
}

// Under the service's lock.
void report(RunningService& service, DWORD state, DWORD hint)
{
    SERVICE_STATUS& status = service.status;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWaitHint = hint;
    SetServiceStatus(service.handle, &status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        RunningService& service = the_service();
        {
            const std::lock_guard<std::mutex> hold(service.lock);
            report(service, SERVICE_STOP_PENDING, STOP_HINT_MS);
        }
        stop_requested = true;
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The run's exit status as the service's exit code. The recovery actions come after a failure,
// but not after bad options (2) or a run that --stop-on-alarm ended (3): the Service Control
// Manager acts on every exit status that is not 0, so the service says first whether this one
// calls for them.
void end_run(RunningService& service)
{
    const int status = service.exit_status;
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle self(
        manager ? OpenServiceW(manager.get(), wide(service.name).c_str(), SERVICE_CHANGE_CONFIG)
                : nullptr);
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_status{status != 2 && status != 3};
    if (self) {
        ChangeServiceConfig2W(self.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_status);
    }
    as_service = false;
    const std::lock_guard<std::mutex> hold(service.lock);
    DeregisterEventSource(service.events);
    RegCloseKey(service.parameters);
    service.events = nullptr;
    service.parameters = nullptr;
    service.status.dwWin32ExitCode = status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    service.status.dwServiceSpecificExitCode = static_cast<DWORD>(status);
    report(service, SERVICE_STOPPED, 0);
}

void WINAPI service_main(DWORD, LPWSTR*)
{
    RunningService& service = the_service();
    service.handle = RegisterServiceCtrlHandlerExW(wide(service.name).c_str(), on_control, nullptr);
    if (service.handle == nullptr) {
        service.exit_status = 1;
        return;
    }
    service.events = RegisterEventSourceW(nullptr, L"ohmlog");
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(parameters_key(service.name)).c_str(), 0, nullptr, 0,
                    KEY_SET_VALUE, nullptr, &service.parameters, nullptr);
    as_service = true;
    {
        const std::lock_guard<std::mutex> hold(service.lock);
        report(service, SERVICE_START_PENDING, START_HINT_MS);
    }
    const std::string folder = service_folder(service.name);
    std::error_code error;
    std::filesystem::create_directories(file_path(folder), error);
    if (!SetCurrentDirectoryW(wide(folder).c_str())) {
        say(Severity::error,
            "cannot work in the folder " + folder + ": " + system_words(GetLastError()));
        service.exit_status = 1;
    } else {
        service.exit_status = service.run();
    }
    end_run(service);
}

} // namespace

const char* service_synopsis()
{
    return "       ohmlog service install --config FILE [--service-name NAME]\n"
           "       ohmlog service uninstall|start|stop|status [--service-name NAME]\n"
           "              (a Windows service of the run: ohmlog service --help)\n";
}

std::string service_folder(const std::string& name)
{
    wchar_t data[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data);
    return narrow(data) + "\\ohmlog\\" + name;
}

int install_service(const std::string& name, const std::string& config,
                    const std::function<int()>& check)
{
    const ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) {
        return refused("install", name, GetLastError());
    }
    const std::string problem = install_problem(manager.get(), name, config);
    if (!problem.empty()) {
        say(Severity::error, problem);
        return 1;
    }
    const std::string folder = service_folder(name);
    std::error_code error;
    std::filesystem::create_directories(file_path(folder), error);
    if (error || !SetCurrentDirectoryW(wide(folder).c_str())) {
        say(Severity::error, "cannot make the service's folder " + folder + ": " +
                                 (error ? error.message() : system_words(GetLastError())));
        return 1;
    }
    const int checked = check();
    if (checked != 0) {
        return checked;
    }
    const std::string line = command_line(name, config);
    const ServiceHandle service(CreateServiceW(
        manager.get(), wide(name).c_str(), wide("ohmlog " + name + " (" + config + ")").c_str(),
        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
        wide(line).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_SERVICE_EXISTS || failure == ERROR_DUPLICATE_SERVICE_NAME) {
            say(Severity::error, "there is a service " + name +
                                     " already: remove it with ohmlog service uninstall "
                                     "--service-name " +
                                     name + ", or name this one with --service-name");
            return 1;
        }
        return refused("install", name, failure);
    }
    std::wstring description = wide("Records the readings of the MAS-345 meters that " + config +
                                    " names (ohmlog --config); relative paths in " + folder);
    SERVICE_DESCRIPTIONW described{description.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &described);
    const bool recovers = set_recovery(service.get(), name);
    register_event_source();
    std::printf("ohmlog: the service %s runs %s\n"
                "  starts with Windows, as LocalSystem%s\n"
                "  relative paths in %s\n"
                "  messages in the event log (Application, source ohmlog)\n"
                "  start it now: ohmlog service start --service-name %s\n",
                name.c_str(), line.c_str(),
                recovers ? "; restarted 10 s after a failure, not after bad options (2) or "
                           "--stop-on-alarm (3)"
                         : "",
                folder.c_str(), name.c_str());
    return 0;
}

int uninstall_service(const std::string& name)
{
    const OpenedService opened =
        open_service(name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS, "remove");
    if (!opened.service) {
        return 1;
    }
    SERVICE_STATUS status{};
    settled_status(opened.service.get()); // a service that is starting takes no control
    if (ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &status)) {
        settled_status(opened.service.get());
    }
    if (!DeleteService(opened.service.get())) {
        return refused("remove", name, GetLastError());
    }
    std::printf("ohmlog: the service %s is removed; its folder %s is kept\n", name.c_str(),
                service_folder(name).c_str());
    return 0;
}

int start_service(const std::string& name)
{
    const OpenedService opened = open_service(name, SERVICE_START | SERVICE_QUERY_STATUS, "start");
    if (!opened.service) {
        return 1;
    }
    if (!StartServiceW(opened.service.get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        return refused("start", name, GetLastError());
    }
    const SERVICE_STATUS_PROCESS status = settled_status(opened.service.get());
    if (status.dwCurrentState == SERVICE_RUNNING) {
        std::printf("ohmlog: the service %s is running\n", name.c_str());
        return 0;
    }
    say(Severity::error, "the service " + name + " is " + state_words(status.dwCurrentState) +
                             ": " + exit_words(status) +
                             "; its last message: " + last_message(name));
    return 1;
}

int stop_service(const std::string& name)
{
    const OpenedService opened = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS, "stop");
    if (!opened.service) {
        return 1;
    }
    SERVICE_STATUS asked{};
    settled_status(opened.service.get()); // a service that is starting takes no control
    if (!ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &asked) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return refused("stop", name, GetLastError());
    }
    const SERVICE_STATUS_PROCESS status = settled_status(opened.service.get());
    std::printf("ohmlog: the service %s is %s: %s\n", name.c_str(),
                state_words(status.dwCurrentState), exit_words(status).c_str());
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : 1;
}

int show_service(const std::string& name)
{
    const OpenedService opened = open_service(name, SERVICE_QUERY_STATUS, "query");
    if (!opened.service) {
        return 1;
    }
    const SERVICE_STATUS_PROCESS status = status_of(opened.service.get());
    std::printf("ohmlog: the service %s is %s", name.c_str(), state_words(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_STOPPED) {
        std::printf(": %s\n", exit_words(status).c_str());
    } else {
        std::printf(" (process %lu)\n", status.dwProcessId);
    }
    const std::vector<BYTE> settings = settings_of(opened.service.get());
    if (!settings.empty()) {
        const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(settings.data());
        std::printf("  %s\n  runs %s\n  starts %s\n", narrow(config->lpDisplayName).c_str(),
                    command_line_of(settings).c_str(),
                    config->dwStartType == SERVICE_AUTO_START ? "with Windows" : "when asked");
    }
    alignas(SERVICE_DESCRIPTIONW) BYTE described[8192];
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(described);
    DWORD size = 0;
    if (QueryServiceConfig2W(opened.service.get(), SERVICE_CONFIG_DESCRIPTION, described,
                             sizeof described, &size) &&
        description->lpDescription != nullptr) {
        std::printf("  %s\n", narrow(description->lpDescription).c_str());
    }
    const std::string last = last_message(name);
    std::printf("  relative paths in %s\n  last message: %s\n", service_folder(name).c_str(),
                last.empty() ? "none yet" : last.c_str());
    return 0;
}

int run_as_service(const std::string& name, const std::string& config,
                   const std::function<int()>& run)
{
    RunningService& service = the_service();
    service.name = name;
    service.config = config;
    service.run = run;
    std::wstring wide_name = wide(name);
    SERVICE_TABLE_ENTRYW table[] = {{wide_name.data(), service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        say(Severity::error,
            error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                ? "ohmlog service run is for the Service Control Manager: "
                  "ohmlog service start --service-name " +
                      name + " asks it"
                : "cannot run as the service " + name + ": " + system_words(error));
        return 2;
    }
    return service.exit_status;
}

bool running_as_service()
{
    return as_service;
}

// Each message an event of its type (1 information, 2 warning, 3 error), named by the service
// it comes from: several services share the source.
void tell_service(Severity severity, const std::string& message, bool summary)
{
    if (!as_service) {
        return;
    }
    RunningService& service = the_service();
    std::string text = service.name + ": " + message;
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
        text.insert(at, "\r");
    }
    const std::wstring event = wide(text);
    const wchar_t* strings[] = {event.c_str()};
    const WORD type = severity == Severity::error     ? EVENTLOG_ERROR_TYPE
                      : severity == Severity::warning ? EVENTLOG_WARNING_TYPE
                                                      : EVENTLOG_INFORMATION_TYPE;
    const DWORD id = severity == Severity::error ? 3 : severity == Severity::warning ? 2 : 1;
    const std::lock_guard<std::mutex> hold(service.lock);
    ReportEventW(service.events, type, 0, id, nullptr, 1, 0, strings, nullptr);
    service.last =
        summary && service.last_was_summary ? service.last + message : stamped(severity, message);
    service.last_was_summary = summary;
    const std::wstring kept = wide(service.last);
    RegSetValueExW(service.parameters, L"LastMessage", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(kept.c_str()),
                   static_cast<DWORD>((kept.size() + 1) * sizeof(wchar_t)));
}

void set_service_state(const std::string& state)
{
    if (!as_service) {
        return;
    }
    RunningService& service = the_service();
    if (state == "READY=1") {
        {
            const std::lock_guard<std::mutex> hold(service.lock);
            report(service, SERVICE_RUNNING, 0);
        }
        say(Severity::info,
            "started with " + service.config + ", in " + service_folder(service.name));
    } else if (state == "STOPPING=1") {
        const std::lock_guard<std::mutex> hold(service.lock);
        report(service, SERVICE_STOP_PENDING, STOP_HINT_MS);
    }
}

} // namespace logbook
